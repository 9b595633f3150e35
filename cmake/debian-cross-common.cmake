# What both Linux cross toolchain files share: Debian's cross compilers building against a
# Debian 12 sysroot of the target architecture (scripts/make-sysroot.sh makes it), and
# qemu-user running what they build, with the sysroot as its library root.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${OMBRIVOICE_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${OMBRIVOICE_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${OMBRIVOICE_CROSS_TRIPLET})

# The sysroot: sysroots/ARCH of the source tree (git-ignored) unless one is named.
if(NOT OMBRIVOICE_SYSROOT)
  set(OMBRIVOICE_SYSROOT ${CMAKE_CURRENT_LIST_DIR}/../sysroots/${OMBRIVOICE_CROSS_ARCH})
endif()
get_filename_component(OMBRIVOICE_SYSROOT ${OMBRIVOICE_SYSROOT} ABSOLUTE)
set(OMBRIVOICE_SYSROOT ${OMBRIVOICE_SYSROOT} CACHE PATH "Debian sysroot of the target architecture")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES OMBRIVOICE_SYSROOT)
if(NOT EXISTS ${OMBRIVOICE_SYSROOT}/usr/include)
  message(FATAL_ERROR "no sysroot at ${OMBRIVOICE_SYSROOT}: run scripts/make-sysroot.sh ${OMBRIVOICE_CROSS_ARCH}")
endif()
set(CMAKE_SYSROOT ${OMBRIVOICE_SYSROOT})
set(CMAKE_FIND_ROOT_PATH ${OMBRIVOICE_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config reads only the sysroot's .pc files and prefixes the paths they give.
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${OMBRIVOICE_SYSROOT})
set(ENV{PKG_CONFIG_LIBDIR}
  ${OMBRIVOICE_SYSROOT}/usr/lib/${OMBRIVOICE_CROSS_TRIPLET}/pkgconfig:${OMBRIVOICE_SYSROOT}/usr/share/pkgconfig)
unset(ENV{PKG_CONFIG_PATH})

# Test programs (and GoogleTest's discovery) run under qemu-user: -L makes the sysroot the root
# for the program's loader and libraries.
find_program(OMBRIVOICE_QEMU ${OMBRIVOICE_QEMU_NAME} REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${OMBRIVOICE_QEMU} -L ${OMBRIVOICE_SYSROOT})
