# The Windows DLL, TolvexOmbriVoice.dll, from the same module sources on the platform's own
# calls (platform/windows only brings in WinINet, winmm, kernel32 and the C runtime). Included
# by the top level when the toolchain targets Windows. Gives, in the build folder, the DLL, its
# import library TolvexOmbriVoice.lib and include/TolvexOmbriVoice.h.
enable_language(RC)
find_program(OMBRIVOICE_WIDL NAMES widl ${OMBRIVOICE_MINGW_TRIPLET}-widl REQUIRED)

# The bindings' headers, as "platform/<name>.h", from this system's folder only.
set(OMBRIVOICE_PLATFORM_INCLUDE ${CMAKE_CURRENT_SOURCE_DIR}/platform/windows/include)
file(GLOB OMBRIVOICE_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_CURRENT_SOURCE_DIR}/module/module_lifecycle_windows.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/transfer/*.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/recorder/*.cpp)

# The type library, compiled from its IDL, goes into the resources with the version record.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(OMBRIVOICE_WIDL_TARGET --win64)
else()
  set(OMBRIVOICE_WIDL_TARGET --win32)
endif()
set(OMBRIVOICE_TYPE_LIBRARY ${CMAKE_CURRENT_BINARY_DIR}/TolvexOmbriVoice.tlb)
add_custom_command(OUTPUT ${OMBRIVOICE_TYPE_LIBRARY}
  COMMAND ${OMBRIVOICE_WIDL} ${OMBRIVOICE_WIDL_TARGET} -t -o ${OMBRIVOICE_TYPE_LIBRARY}
          ${CMAKE_CURRENT_SOURCE_DIR}/module/TolvexOmbriVoice.idl
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/module/TolvexOmbriVoice.idl
  COMMENT "Compiling the type library")
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/module/TolvexOmbriVoice.rc.in
  ${CMAKE_CURRENT_BINARY_DIR}/TolvexOmbriVoice.rc @ONLY)
set_source_files_properties(${CMAKE_CURRENT_BINARY_DIR}/TolvexOmbriVoice.rc PROPERTIES
  OBJECT_DEPENDS ${OMBRIVOICE_TYPE_LIBRARY})

add_library(TolvexOmbriVoice SHARED ${OMBRIVOICE_SOURCES}
  ${CMAKE_CURRENT_SOURCE_DIR}/module/TolvexOmbriVoice.def
  ${CMAKE_CURRENT_BINARY_DIR}/TolvexOmbriVoice.rc)
target_include_directories(TolvexOmbriVoice PRIVATE ${CMAKE_CURRENT_SOURCE_DIR} ${OMBRIVOICE_PLATFORM_INCLUDE})
target_include_directories(TolvexOmbriVoice PUBLIC $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>)
target_compile_definitions(TolvexOmbriVoice PRIVATE
  UNICODE _UNICODE WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601
  OMBRIVOICE_API_HOST="${OMBRIVOICE_API_HOST}"
  OMBRIVOICE_SITE_HOST="${OMBRIVOICE_SITE_HOST}"
  OMBRIVOICE_API_TLS=${OMBRIVOICE_API_TLS_VALUE})
target_link_libraries(TolvexOmbriVoice PRIVATE wininet winmm)
# Only system DLLs beside it: the compiler's own runtime is linked in.
target_link_options(TolvexOmbriVoice PRIVATE -static-libgcc -static-libstdc++ -Wl,--no-undefined)
set_target_properties(TolvexOmbriVoice PROPERTIES
  PREFIX ""
  IMPORT_PREFIX ""
  IMPORT_SUFFIX ".lib"
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
  ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/include/TolvexOmbriVoice.h ${CMAKE_BINARY_DIR}/include/TolvexOmbriVoice.h COPYONLY)

install(TARGETS TolvexOmbriVoice RUNTIME DESTINATION bin ARCHIVE DESTINATION lib)
install(FILES include/TolvexOmbriVoice.h DESTINATION include)

# The programs the Wine tests run: a host that loads the DLL and calls it, and the C example.
if(OMBRIVOICE_BUILD_TESTS)
  add_subdirectory(tests/windows)
endif()
