# Cross build for 32-bit ARM with hardware floating point (Debian armhf) on a
# Debian 12 PC:
#   cmake -S . -B build-armhf -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
# tools/cross-test armhf installs what this needs, builds and runs the tests.
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CCDSHOT_CROSS_TRIPLET arm-linux-gnueabihf)
set(CCDSHOT_CROSS_DEBIAN_ARCH armhf)
set(CCDSHOT_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-debian-cross.cmake)
