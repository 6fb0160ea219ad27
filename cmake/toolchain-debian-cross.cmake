# Shared part of the cross toolchain files (toolchain-arm64.cmake,
# toolchain-armhf.cmake): Debian's cross compilers for the triplet
# CCDSHOT_CROSS_TRIPLET and the target's multiarch libraries (installed as
# libtiff-dev:ARCH and so on). Foreign programs, the tests included, run
# through the qemu user emulator named by CCDSHOT_CROSS_QEMU when it is
# installed (tools/cross-test installs it and registers it with binfmt_misc,
# so that the end-to-end tests can start the programs directly).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${CCDSHOT_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${CCDSHOT_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${CCDSHOT_CROSS_TRIPLET})

# Libraries and headers of the target only; programs (gzip, pkg-config) of
# the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${CCDSHOT_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# pkg-config reads the target's .pc files, and the architecture-independent
# ones (bash-completion's), never the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${CCDSHOT_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

find_program(CCDSHOT_CROSS_EMULATOR ${CCDSHOT_CROSS_QEMU})
if(CCDSHOT_CROSS_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CCDSHOT_CROSS_EMULATOR})
endif()

