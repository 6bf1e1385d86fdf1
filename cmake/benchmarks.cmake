# Benchmark programs (tools/bench/run.sh), built only with -DSETUP_VANNIX_BENCHMARKS=ON:
#  - setup_vannix-measure.exe: the installer with its payload, recording its memory figures
#    (tools/bench/memory_report.cpp, written to C:\vannix-memory.txt);
#  - vannix_bench_baseline.exe: the same work the plainest way (CopyFileW, then regsvr32), and
#    vannix_bench_copy_only.exe: its copies alone; vannix_bench_baseline_console.exe: regsvr32
#    started with the installer's flags (a new console each); vannix_bench_baseline_like.exe: that
#    in an image like the installer's; vannix_bench_baseline_measure.exe: the baseline with the
#    installer's flags recording its memory figures as setup_vannix-measure.exe does;
#  - vannix_bench_noop.exe: does nothing, the start-up floor; vannix_bench_noop_payload.exe: the
#    same with the installer's resources and layout, the cost of loading an image of that size;
#    vannix_bench_noop_measure.exe: the floor of the memory figures;
#  - vannix_bench_copy_probe.exe: times the installer's copy loop (ReadProcessMemory, WriteFile,
#    with and without FlushFileBuffers) against memcpy and CopyFileW, on the "64_" set's sizes;
#  - setup_vannix-phases.exe: the installer's logic with its payload over a timing decorator of
#    the platform (tools/bench/phase_timing.cpp), each entry's phases written to
#    C:\vannix-phases.txt; setup_vannix-phases-noflush.exe: the same without the flushes (their
#    price); vannix_bench_baseline_phases.exe: the baseline with the installer's flags, timed
#    the same way;
#  - vannix_bench_check_limit.exe: the eleven files read and hashed with the check's API and
#    chunk size, nothing else (the check's practical limit), and vannix_bench_check_limit_measure:
#    its memory figures; vannix_bench_check_measure.exe: the installation check recording its
#    memory figures; vannix_bench_class_walk.exe: the check's registry walk alone, timed and
#    counted.
# None of them is a test; nothing here is added to CTest.

set(_bench_src ${CMAKE_SOURCE_DIR}/tools/bench)

set(_bench_linked ${CMAKE_BINARY_DIR}/bench/linked)

# <target>, linked into bench/linked/, and <target>_image: its image with the payload at <output>.
function(_vannix_bench_payload target output)
  setup_vannix_add_image_resources(${target})
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${_bench_linked})
  setup_vannix_embed_payload(${target}_image ${target} ${output})
endfunction()

setup_vannix_add_executable(setup_vannix_measure setup_vannix-measure SETUP_VANNIX_MEASURE_MEMORY=1)
target_sources(setup_vannix_measure PRIVATE ${_bench_src}/memory_report.cpp)
target_link_libraries(setup_vannix_measure PRIVATE psapi)
_vannix_bench_payload(setup_vannix_measure ${CMAKE_BINARY_DIR}/setup_vannix-measure.exe)

set(_bench_cflags -O2 -Wall -Wextra -municode)
# The installer's own header settings (stack and heap sizes among them), so that start-up and
# memory figures differ from the installer's only by what the installer does.
set(_bench_ldflags ${SETUP_VANNIX_LINK_OPTIONS} -Wl,--enable-reloc-section)

function(_vannix_bench_program target source)
  add_executable(${target} WIN32 ${source})
  target_compile_options(${target} PRIVATE ${_bench_cflags})
  target_compile_definitions(${target} PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN ${ARGN})
  target_link_options(${target} PRIVATE ${_bench_ldflags})
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endfunction()

_vannix_bench_program(vannix_bench_baseline ${_bench_src}/baseline.c)
_vannix_bench_program(vannix_bench_copy_only ${_bench_src}/baseline.c BENCH_COPY_ONLY=1)
_vannix_bench_program(vannix_bench_baseline_console ${_bench_src}/baseline.c BENCH_NEW_CONSOLE=1)
# The baseline's work in an image like the installer's: its resources (80 MB, not read) and its
# process flags. What is left between this and the installer is the installer's own.
_vannix_bench_program(vannix_bench_baseline_like ${_bench_src}/baseline.c BENCH_NEW_CONSOLE=1)
_vannix_bench_payload(vannix_bench_baseline_like
  ${CMAKE_BINARY_DIR}/bench/vannix_bench_baseline_like.exe)
_vannix_bench_program(vannix_bench_baseline_measure ${_bench_src}/baseline.c BENCH_NEW_CONSOLE=1
  BENCH_MEASURE_MEMORY=1)
target_sources(vannix_bench_baseline_measure PRIVATE ${_bench_src}/memory_report.cpp)
target_link_libraries(vannix_bench_baseline_measure PRIVATE psapi)
_vannix_bench_program(vannix_bench_noop ${_bench_src}/noop.c)
_vannix_bench_program(vannix_bench_copy_probe ${_bench_src}/copy_probe.c)
_vannix_bench_program(vannix_bench_noop_measure ${_bench_src}/noop.c BENCH_MEASURE_MEMORY=1)
target_sources(vannix_bench_noop_measure PRIVATE ${_bench_src}/memory_report.cpp)
target_link_libraries(vannix_bench_noop_measure PRIVATE psapi)
_vannix_bench_program(vannix_bench_noop_payload ${_bench_src}/noop.c)
_vannix_bench_payload(vannix_bench_noop_payload
  ${CMAKE_BINARY_DIR}/bench/vannix_bench_noop_payload.exe)

# The installer's phases: its own logic and payload, the platform decorated with timers.
foreach(_phases phases phases-noflush)
  string(REPLACE "-" "_" _t "setup_vannix_${_phases}")
  add_executable(${_t} WIN32 ${_bench_src}/phase_timing.cpp)
  target_link_libraries(${_t} PRIVATE platform_win32)
  target_compile_definitions(${_t} PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)
  target_link_options(${_t} PRIVATE ${SETUP_VANNIX_LINK_OPTIONS})
  _vannix_bench_payload(${_t} ${CMAKE_BINARY_DIR}/bench/setup_vannix-${_phases}.exe)
endforeach()
target_compile_definitions(setup_vannix_phases_noflush PRIVATE BENCH_SKIP_FLUSH=1)
_vannix_bench_program(vannix_bench_baseline_phases ${_bench_src}/baseline.c BENCH_NEW_CONSOLE=1
  BENCH_PHASES=1)

# The installation check's figures: the practical limit of its file part, its memory, its walk.
set(_check_ldflags -municode -static -s -Wl,--dynamicbase,--nxcompat,--enable-reloc-section)
function(_vannix_bench_console target)
  add_executable(${target} ${ARGN})
  target_compile_options(${target} PRIVATE -O2 -Wall -Wextra)
  target_compile_definitions(${target} PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)
  target_link_options(${target} PRIVATE ${_check_ldflags})
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endfunction()
_vannix_bench_console(vannix_bench_check_limit ${_bench_src}/check_limit.c)
target_link_libraries(vannix_bench_check_limit PRIVATE advapi32)
_vannix_bench_console(vannix_bench_check_limit_measure ${_bench_src}/check_limit.c
  ${_bench_src}/memory_report.cpp)
target_compile_definitions(vannix_bench_check_limit_measure PRIVATE BENCH_MEASURE_MEMORY=1)
target_link_libraries(vannix_bench_check_limit_measure PRIVATE advapi32 psapi)
_vannix_bench_console(vannix_bench_check_measure ${CMAKE_SOURCE_DIR}/setup_vannix_check.cpp
  ${_bench_src}/memory_report.cpp ${CMAKE_BINARY_DIR}/resources/setup_vannix_check_res.o)
add_dependencies(vannix_bench_check_measure setup_vannix_check_unsigned_resources)
target_compile_definitions(vannix_bench_check_measure PRIVATE BENCH_REPORT_AT_EXIT=1)
target_link_libraries(vannix_bench_check_measure PRIVATE platform_win32_check psapi)
_vannix_bench_console(vannix_bench_class_walk ${_bench_src}/class_walk.cpp
  ${CMAKE_BINARY_DIR}/resources/setup_vannix_check_res.o)
add_dependencies(vannix_bench_class_walk setup_vannix_check_unsigned_resources)
target_link_libraries(vannix_bench_class_walk PRIVATE platform_win32_check)

add_custom_target(vannix_benchmarks DEPENDS setup_vannix setup_vannix_measure_image
  vannix_bench_baseline vannix_bench_copy_only vannix_bench_baseline_console
  vannix_bench_baseline_like_image vannix_bench_baseline_measure vannix_bench_noop
  vannix_bench_noop_measure vannix_bench_copy_probe vannix_bench_noop_payload_image
  setup_vannix_phases_image setup_vannix_phases_noflush_image vannix_bench_baseline_phases
  setup_vannix_check vannix_bench_check_limit vannix_bench_check_limit_measure
  vannix_bench_check_measure vannix_bench_class_walk)
