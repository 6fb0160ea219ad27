# Cross build for 64-bit ARM (Debian arm64) on a Debian 12 PC:
#   cmake -S . -B build-arm64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-arm64.cmake
# tools/cross-test arm64 installs what this needs, builds and runs the tests.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CCDSHOT_CROSS_TRIPLET aarch64-linux-gnu)
set(CCDSHOT_CROSS_DEBIAN_ARCH arm64)
set(CCDSHOT_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-debian-cross.cmake)
