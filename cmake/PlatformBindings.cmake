# Module code names each binding it uses as "platform/<binding>.h". This function makes that
# path lead to the bindings of the system being built for (platform/posix or platform/windows)
# through a link in the build folder, and gives the include directory that holds the link. The
# OS folder itself is never on the module's include path, so a bare "files.h" does not build.
function(ombrivoice_platform_bindings source_root system out_include_dir)
  set(dir ${CMAKE_BINARY_DIR}/platform-bindings)
  file(MAKE_DIRECTORY ${dir})
  file(CREATE_LINK ${source_root}/platform/${system} ${dir}/platform SYMBOLIC)
  set(${out_include_dir} ${dir} PARENT_SCOPE)
endfunction()
