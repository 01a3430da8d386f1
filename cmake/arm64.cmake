# 64-bit ARM (Debian arm64): cmake -DCMAKE_TOOLCHAIN_FILE=cmake/arm64.cmake
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(LLD_TRIPLET aarch64-linux-gnu)
set(LLD_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
