# What the armhf and arm64 toolchain files share: Debian's cross compilers for
# LLD_TRIPLET, the target's multiarch libraries (the -dev packages :armhf, :arm64),
# pkg-config limited to the target's .pc files, and qemu-user to run what is built
# (tests included) on this machine. Each file sets LLD_TRIPLET and LLD_QEMU first.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${LLD_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${LLD_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${LLD_TRIPLET})

# Libraries and headers come from the target's multiarch folders only; programs
# (pkg-config, python3, unshare) are the build machine's.
set(CMAKE_FIND_ROOT_PATH /usr/${LLD_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${LLD_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# binfmt need not be registered: ctest, gtest_discover_tests and the smoke test
# start every target program through the emulator, which takes the loader from
# the cross C library (/usr/<triplet>/lib). The C library itself must come from
# the same build as that loader, not from the multiarch libc6:<arch> that the
# -dev packages bring (its threads crash under the other's loader): programs in
# the build tree look there first. Installed programs carry no such path.
set(CMAKE_CROSSCOMPILING_EMULATOR ${LLD_QEMU} -L /usr/${LLD_TRIPLET})
set(CMAKE_BUILD_RPATH /usr/${LLD_TRIPLET}/lib)
