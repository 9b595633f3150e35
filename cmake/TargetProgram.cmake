# How a test script starts a program of the target. Natively that is the program itself; in a
# cross build it is a small script, <build>/emulated/NAME, that starts the program under
# CMAKE_CROSSCOMPILING_EMULATOR, so that scripts run what they are given either way. A preload
# in LD_PRELOAD is a library of the target: the script hands it to the emulated program alone,
# never to the emulator, which is a program of the build machine.
function(ombrivoice_target_program out_var name program)
  if(NOT CMAKE_CROSSCOMPILING)
    set(${out_var} ${program} PARENT_SCOPE)
    return()
  endif()
  set(script ${CMAKE_BINARY_DIR}/emulated/${name})
  set(${out_var} ${script} PARENT_SCOPE)
  get_property(made GLOBAL PROPERTY OMBRIVOICE_TARGET_PROGRAM_${name})  # asked for in another folder
  if(made)
    return()
  endif()
  set_property(GLOBAL PROPERTY OMBRIVOICE_TARGET_PROGRAM_${name} ON)
  string(JOIN " " emulator ${CMAKE_CROSSCOMPILING_EMULATOR})
  file(GENERATE OUTPUT ${script}
    CONTENT "#!/bin/sh
if [ -n \"\${LD_PRELOAD:-}\" ]; then
  preload=\"\$LD_PRELOAD\"
  unset LD_PRELOAD
  exec ${emulator} -E LD_PRELOAD=\"\$preload\" ${program} \"\$@\"
fi
exec ${emulator} ${program} \"\$@\"
"
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endfunction()
