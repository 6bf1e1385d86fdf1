# Step log of a measured build (tools/bench/run.sh): passed as CMAKE_PROJECT_INCLUDE with
# SETUP_VANNIX_STEP_LOG=<file>, it runs every compile, link and custom command under GNU time,
# which appends "wall-seconds peak-KiB user-seconds system-seconds command" to that file.
if(SETUP_VANNIX_STEP_LOG)
  set(_launch "/usr/bin/time -a -o ${SETUP_VANNIX_STEP_LOG} -f \"%e %M %U %S %C\"")
  foreach(_rule COMPILE LINK CUSTOM)
    set_property(GLOBAL PROPERTY RULE_LAUNCH_${_rule} "${_launch}")
  endforeach()
endif()
