# What both Windows-on-ARM toolchain files share: clang-15 and lld-16 with the mingw-w64 CRT,
# import libraries and C++ runtime that scripts/make-windows-arm-toolchain.sh builds from
# Debian's sources. OMBRIVOICE_WINDOWS_TOOLCHAIN names the toolchain's folder; unset, the script
# is run, which makes it or finds it in its cache, and prints it.
if(NOT OMBRIVOICE_WINDOWS_TOOLCHAIN)
  execute_process(
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/../scripts/make-windows-arm-toolchain.sh ${CMAKE_SYSTEM_PROCESSOR}
    OUTPUT_VARIABLE OMBRIVOICE_WINDOWS_TOOLCHAIN OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE OMBRIVOICE_TOOLCHAIN_RESULT)
  if(NOT OMBRIVOICE_TOOLCHAIN_RESULT EQUAL 0)
    message(FATAL_ERROR "scripts/make-windows-arm-toolchain.sh ${CMAKE_SYSTEM_PROCESSOR} failed")
  endif()
  set(OMBRIVOICE_WINDOWS_TOOLCHAIN ${OMBRIVOICE_WINDOWS_TOOLCHAIN} CACHE PATH "clang toolchain for Windows on ARM")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES OMBRIVOICE_WINDOWS_TOOLCHAIN)
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${OMBRIVOICE_WINDOWS_TOOLCHAIN}/bin/${OMBRIVOICE_MINGW_TRIPLET}-clang)
set(CMAKE_CXX_COMPILER ${OMBRIVOICE_WINDOWS_TOOLCHAIN}/bin/${OMBRIVOICE_MINGW_TRIPLET}-clang++)
set(CMAKE_RC_COMPILER ${OMBRIVOICE_WINDOWS_TOOLCHAIN}/bin/${OMBRIVOICE_MINGW_TRIPLET}-windres)
set(CMAKE_AR /usr/bin/llvm-ar-15 CACHE FILEPATH "")
set(CMAKE_RANLIB /usr/bin/llvm-ranlib-15 CACHE FILEPATH "")
set(CMAKE_FIND_ROOT_PATH ${OMBRIVOICE_WINDOWS_TOOLCHAIN}/${OMBRIVOICE_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Debian's widl comes only under the x86 triplets; the type library it writes depends on the
# --win32/--win64 that WindowsDll.cmake gives, not on the widl's own triplet.
set(OMBRIVOICE_WIDL /usr/bin/x86_64-w64-mingw32-widl CACHE FILEPATH "widl")
# The DLL is marked for the console subsystem like the x86 builds (lld would mark a DLL GUI; a
# DLL's subsystem is not acted on by the loader), at version 6.2: Windows 8, the first Windows
# that ran on ARM, so the lowest version an ARM image can truly claim (x86-64: 5.2).
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,--subsystem,console:6.2")
