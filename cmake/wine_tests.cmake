# End-to-end tests: the signed installer runs under Wine (tools/wine/) in throwaway copies of
# pristine 64-bit (WOW64) and 32-bit prefixes. CTest label "e2e"; `ctest -L e2e -j2`.
# Also builds the 32-bit helper programs the tests run beside the installer.

enable_testing()

set(_e2e_cflags -O2 -Wall -Wextra -municode)
set(_e2e_ldflags -municode -static -s)

# A COM client of the six registered sample classes (creates each, calls Describe).
add_executable(vannix_com_client ${CMAKE_SOURCE_DIR}/tools/com_client/com_client.c)
target_include_directories(vannix_com_client PRIVATE ${CMAKE_SOURCE_DIR}/tools/components)
target_compile_options(vannix_com_client PRIVATE ${_e2e_cflags})
target_link_options(vannix_com_client PRIVATE ${_e2e_ldflags})
target_link_libraries(vannix_com_client PRIVATE ole32 uuid)

# Presses the button of message boxes and records their caption and text.
add_executable(vannix_dismiss WIN32 ${CMAKE_SOURCE_DIR}/tools/wine/dismiss.c)
target_compile_options(vannix_dismiss PRIVATE ${_e2e_cflags})
target_link_options(vannix_dismiss PRIVATE ${_e2e_ldflags})
target_link_libraries(vannix_dismiss PRIVATE user32)

# Holds a file open without sharing, as another running program may.
add_executable(vannix_hold_open ${CMAKE_SOURCE_DIR}/tests/e2e/hold_open.c)
target_compile_options(vannix_hold_open PRIVATE ${_e2e_cflags})
target_link_options(vannix_hold_open PRIVATE ${_e2e_ldflags})

# One file operation as the installer makes it (create, replace, delete, attributes), with its
# error code: read-only targets, files other programs hold open.
add_executable(vannix_fileop ${CMAKE_SOURCE_DIR}/tests/e2e/fileop.c)
target_compile_options(vannix_fileop PRIVATE ${_e2e_cflags})
target_link_options(vannix_fileop PRIVATE ${_e2e_ldflags})

# Reads its own mapped resource after its file was cut (the medium went away), and times the
# ways of reading it. Page-aligned sections in the file, as the installer has, so that Wine
# maps the resource straight from the file.
set(SETUP_VANNIX_MAPPED_READ_MIB 8 CACHE STRING "Size of vannix_mapped_read's resource (MiB)")
set(_blob ${CMAKE_BINARY_DIR}/e2e_blob)
add_custom_command(OUTPUT ${_blob}/blob_res.o
  COMMAND ${CMAKE_COMMAND} -E make_directory ${_blob}
  COMMAND ${SETUP_VANNIX_PYTHON} ${CMAKE_SOURCE_DIR}/tests/e2e/make_blob.py ${_blob}/blob.bin
          ${SETUP_VANNIX_MAPPED_READ_MIB} ${_blob}/blob.rc
  COMMAND ${CMAKE_RC_COMPILER} -O coff -o ${_blob}/blob_res.o ${_blob}/blob.rc
  DEPENDS ${CMAKE_SOURCE_DIR}/tests/e2e/make_blob.py VERBATIM)
add_executable(vannix_mapped_read ${CMAKE_SOURCE_DIR}/tests/e2e/mapped_read.c ${_blob}/blob_res.o)
target_compile_options(vannix_mapped_read PRIVATE ${_e2e_cflags})
target_link_options(vannix_mapped_read PRIVATE ${_e2e_ldflags} -Wl,--file-alignment=0x1000)

# The caller's side: a launcher with show-window value, directory and exact command line; a
# watcher of windows shown by other processes; a GUI-subsystem stand-in for the installer and a
# console check, to learn which callers wait for a GUI program.
add_executable(vannix_launch ${CMAKE_SOURCE_DIR}/tests/e2e/launch.c)
add_executable(vannix_watch_windows WIN32 ${CMAKE_SOURCE_DIR}/tests/e2e/watch_windows.c)
target_link_libraries(vannix_watch_windows PRIVATE user32)
add_executable(vannix_gui_exit WIN32 ${CMAKE_SOURCE_DIR}/tests/e2e/gui_exit.c)
add_executable(vannix_check_marker ${CMAKE_SOURCE_DIR}/tests/e2e/check_marker.c)
foreach(t vannix_launch vannix_watch_windows vannix_gui_exit vannix_check_marker)
  target_compile_options(${t} PRIVATE ${_e2e_cflags})
  target_link_options(${t} PRIVATE ${_e2e_ldflags})
endforeach()

# A stand-in for Windows' sfc.dll (Wine's protects nothing): msxml6.dll and msxml6r.dll are
# Windows' own. In e2e-sfc/, so that no test loads it by accident.
add_library(vannix_sfc SHARED ${CMAKE_SOURCE_DIR}/tests/e2e/sfc_standin.c)
target_compile_options(vannix_sfc PRIVATE ${_e2e_cflags})
target_link_options(vannix_sfc PRIVATE -static -s -Wl,--kill-at)
set_target_properties(vannix_sfc PROPERTIES PREFIX "" OUTPUT_NAME sfc
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/e2e-sfc)

# A stand-in for Windows' schtasks.exe (Wine's keeps no trigger, principal or command and runs
# nothing at a restart): it keeps each task definition it is given, for the tests to run as
# Windows would when it starts. In e2e-schtasks/, so that no test runs it by accident.
add_executable(vannix_schtasks ${CMAKE_SOURCE_DIR}/tests/e2e/schtasks_standin.c)
target_compile_options(vannix_schtasks PRIVATE ${_e2e_cflags})
target_link_options(vannix_schtasks PRIVATE ${_e2e_ldflags})
set_target_properties(vannix_schtasks PROPERTIES OUTPUT_NAME schtasks
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/e2e-schtasks)

set_target_properties(vannix_com_client vannix_dismiss vannix_hold_open vannix_fileop
  vannix_mapped_read vannix_launch vannix_watch_windows vannix_gui_exit vannix_check_marker PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

# The fault scenarios need the real components' sizes (a disk that fills up, a medium cut in the
# middle of the payload): the sample components padded to them (sparse files) in a payload of
# their own, embedded into the same linked image, and a check made from that payload's record.
# Unsigned: Wine does not check signatures. In e2e-size-faithful/ of the build tree.
set(_sf ${CMAKE_BINARY_DIR}/e2e-size-faithful)
# The staging triples of the sample payload at the real sizes, each "<variant>/<file>" placed here.
list(TRANSFORM SETUP_VANNIX_SAMPLE_SIZES PREPEND ${_sf}/payload/ REGEX "^(32|64)/"
     OUTPUT_VARIABLE _sf_staging)
# vannix_e2e_image(<target> <dir> <what> <staging triples...> DEPENDS <files...>): stages a
# payload in <dir>/payload (stage_component.py triples), validates it, embeds it into the linked
# image as <dir>/setup_vannix.exe and builds <dir>/setup_vannix_check.exe from its record
# (target <target>_check).
function(vannix_e2e_image target dir what)
  cmake_parse_arguments(_e "" "" "DEPENDS" ${ARGN})
  add_custom_command(OUTPUT ${dir}/payload/staged.stamp
    COMMAND ${SETUP_VANNIX_PYTHON} ${CMAKE_SOURCE_DIR}/tools/components/stage_component.py
            --stamp ${dir}/payload/staged.stamp ${_e_UNPARSED_ARGUMENTS}
    DEPENDS ${SETUP_VANNIX_SAMPLE_STAMP} ${_e_DEPENDS}
            ${CMAKE_SOURCE_DIR}/tools/components/stage_component.py
    COMMENT "Staging the ${what} in ${dir}/payload" VERBATIM)
  add_custom_command(OUTPUT ${dir}/resources/payload.rc ${dir}/resources/payload.json
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}/resources
    COMMAND ${SETUP_VANNIX_PYTHON} ${_image_tools}/validate_payload.py ${dir}/payload
            --rc ${dir}/resources/payload.rc --json ${dir}/resources/payload.json
    DEPENDS ${dir}/payload/staged.stamp ${_image_tools}/validate_payload.py
            ${_image_tools}/catalogue.py ${_image_tools}/payload_record.py ${_image_tools}/typelib.py
    COMMENT "Validating the ${what}" VERBATIM)
  add_custom_command(OUTPUT ${dir}/setup_vannix.exe
    COMMAND ${SETUP_VANNIX_PYTHON} ${_image_tools}/embed_payload.py
            $<TARGET_FILE:setup_vannix_linked> ${dir}/resources/payload.rc ${dir}/setup_vannix.exe
    DEPENDS setup_vannix_linked $<TARGET_FILE:setup_vannix_linked> ${dir}/resources/payload.rc
            ${_image_tools}/embed_payload.py ${_image_tools}/pe_resources.py
    COMMENT "Embedding the ${what}: ${dir}/setup_vannix.exe" VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${dir}/setup_vannix.exe ${dir}/resources/payload.json)
  add_dependencies(${target} setup_vannix_sample_payload)
  setup_vannix_add_check(${target}_check ${dir}/resources)
  add_dependencies(${target}_check_resources ${target})
  set_target_properties(${target}_check PROPERTIES
    OUTPUT_NAME setup_vannix_check RUNTIME_OUTPUT_DIRECTORY ${dir})
endfunction()

vannix_e2e_image(vannix_e2e_size_faithful ${_sf} "size-faithful payload" ${_sf_staging})

# A server without a type library: the sample payload with midas.dll built without one (in both
# variants), beside a check made from that payload's record. Unsigned, in e2e-untyped/.
set(_ut ${CMAKE_BINARY_DIR}/e2e-untyped)
set(_ut_staging)
set(_rest ${SETUP_VANNIX_SAMPLE_SIZES})
while(_rest)
  list(POP_FRONT _rest _built _dest _size)
  if(_dest MATCHES "/midas.dll$")
    set(_built ${SETUP_VANNIX_SAMPLE_UNTYPED})
  endif()
  list(APPEND _ut_staging ${_built} ${_ut}/payload/${_dest} -)
endwhile()
vannix_e2e_image(vannix_e2e_untyped ${_ut} "payload with a server without a type library"
  ${_ut_staging} DEPENDS ${SETUP_VANNIX_SAMPLE_UNTYPED})

find_program(SETUP_VANNIX_HOST_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(NOT SETUP_VANNIX_HOST_PYTHON)
  set(SETUP_VANNIX_HOST_PYTHON /usr/bin/python3)
endif()

# Host packages, the Wine root and the pristine prefixes: made once per machine (idempotent,
# about 2 min the first time, well under a second afterwards).
set(_wine ${CMAKE_SOURCE_DIR}/tools/wine)
add_test(NAME e2e_wine_setup
  COMMAND sh -c "sh '${_wine}/install-deps.sh' && sh '${_wine}/wl-setup.sh' && sh '${_wine}/wl-prefix.sh'")
set_tests_properties(e2e_wine_setup PROPERTIES
  LABELS e2e FIXTURES_SETUP wine_prefixes TIMEOUT 1800 RUN_SERIAL TRUE)

foreach(kind win64 win32)
  add_test(NAME e2e_${kind}
    COMMAND ${SETUP_VANNIX_HOST_PYTHON} ${CMAKE_SOURCE_DIR}/tests/e2e/test_install.py
            --kind ${kind} --build-dir ${CMAKE_BINARY_DIR}
            --installer ${CMAKE_BINARY_DIR}/setup_vannix.exe
            --failtest ${CMAKE_BINARY_DIR}/setup_vannix-failtest.exe
            --faulttest $<TARGET_FILE:setup_vannix_faulttest>
            --com-client $<TARGET_FILE:vannix_com_client>
            --dismiss $<TARGET_FILE:vannix_dismiss>
            --hold-open $<TARGET_FILE:vannix_hold_open>
            --check ${CMAKE_BINARY_DIR}/setup_vannix_check.exe
            --launch $<TARGET_FILE:vannix_launch>
            --schtasks $<TARGET_FILE:vannix_schtasks>)
  set_tests_properties(e2e_${kind} PROPERTIES
    LABELS e2e FIXTURES_REQUIRED wine_prefixes TIMEOUT 1800)
endforeach()

# What the scenarios rely on in this Wine setup (reads of a cut image, read-only and held files,
# a full system directory, waiting for a GUI program, the window watcher).
add_test(NAME e2e_wine_probes
  COMMAND ${SETUP_VANNIX_HOST_PYTHON} ${CMAKE_SOURCE_DIR}/tests/e2e/test_wine_probes.py
          --build-dir ${CMAKE_BINARY_DIR})
set_tests_properties(e2e_wine_probes PROPERTIES
  LABELS e2e FIXTURES_REQUIRED wine_prefixes TIMEOUT 1800)

# The installer's promises on a real filesystem: a full disk, leftovers of an interrupted run,
# two installers at once, a read-only target, the caller's circumstances, a medium that goes
# away mid-run, files that Windows owns (tests/e2e/test_faults.py, on the WOW64 prefix).
add_test(NAME e2e_faults
  COMMAND ${SETUP_VANNIX_HOST_PYTHON} ${CMAKE_SOURCE_DIR}/tests/e2e/test_faults.py
          --kind win64 --build-dir ${CMAKE_BINARY_DIR}
          --installer ${CMAKE_BINARY_DIR}/setup_vannix.exe
          --check ${CMAKE_BINARY_DIR}/setup_vannix_check.exe
          --sf-installer ${_sf}/setup_vannix.exe
          --sf-check $<TARGET_FILE:vannix_e2e_size_faithful_check>
          --failtest ${CMAKE_BINARY_DIR}/setup_vannix-failtest.exe
          --dismiss $<TARGET_FILE:vannix_dismiss>
          --hold-open $<TARGET_FILE:vannix_hold_open>
          --launch $<TARGET_FILE:vannix_launch>
          --watch-windows $<TARGET_FILE:vannix_watch_windows>
          --sfc $<TARGET_FILE:vannix_sfc>
          --schtasks $<TARGET_FILE:vannix_schtasks>)
set_tests_properties(e2e_faults PROPERTIES
  LABELS e2e FIXTURES_REQUIRED wine_prefixes TIMEOUT 1800)
