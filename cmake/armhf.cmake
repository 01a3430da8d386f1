# 32-bit ARM, hard float (Debian armhf): cmake -DCMAKE_TOOLCHAIN_FILE=cmake/armhf.cmake
set(CMAKE_SYSTEM_PROCESSOR arm)
set(LLD_TRIPLET arm-linux-gnueabihf)
set(LLD_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
