# Cross-compiles for 64-bit ARM (Debian's arm64) with Debian's cross compiler:
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/debian-arm64.cmake
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(OMBRIVOICE_CROSS_ARCH arm64)
set(OMBRIVOICE_CROSS_TRIPLET aarch64-linux-gnu)
set(OMBRIVOICE_QEMU_NAME qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross-common.cmake)
