# Cross-compiles for 32-bit ARM with hardware floating point (Debian's armhf) with Debian's
# cross compiler:
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/debian-armhf.cmake
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(OMBRIVOICE_CROSS_ARCH armhf)
set(OMBRIVOICE_CROSS_TRIPLET arm-linux-gnueabihf)
set(OMBRIVOICE_QEMU_NAME qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross-common.cmake)
