# Cross-compiles the Windows DLL for 32-bit Windows on ARM (ARMv7, Thumb-2) with clang:
#   cmake -S . -B build-windows-armv7 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-armv7.cmake
set(CMAKE_SYSTEM_PROCESSOR armv7)
set(OMBRIVOICE_MINGW_TRIPLET armv7-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-clang-common.cmake)
