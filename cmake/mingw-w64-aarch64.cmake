# Cross-compiles the Windows DLL for 64-bit Windows on ARM (ARM64) with clang:
#   cmake -S . -B build-windows-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-aarch64.cmake
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(OMBRIVOICE_MINGW_TRIPLET aarch64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-clang-common.cmake)
