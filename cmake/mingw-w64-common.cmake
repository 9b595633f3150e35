# The tools and search rules both mingw-w64 toolchain files share. The compilers of the win32
# thread model are enough: the module uses the platform's own locks and threads.
set(CMAKE_C_COMPILER ${OMBRIVOICE_MINGW_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${OMBRIVOICE_MINGW_TRIPLET}-g++)
set(CMAKE_RC_COMPILER ${OMBRIVOICE_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${OMBRIVOICE_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
