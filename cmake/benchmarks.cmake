# Benchmark programs (tools/bench/run.sh), only with -DSETUP_VANNIX_BENCHMARKS=ON, built from
# tools/bench alone: the installer and the check are timed as shipped, by launch.exe with
# probe.dll in them. None of them is a test.
set(_bench_src ${CMAKE_SOURCE_DIR}/tools/bench)
set(_check_ldflags -municode -static -s -Wl,--dynamicbase,--nxcompat,--enable-reloc-section)

function(_vannix_bench target kind source)
  if(kind STREQUAL "DLL")
    add_library(${target} SHARED ${source})
    set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME probe)
    target_link_options(${target} PRIVATE -s)
  elseif(kind STREQUAL "GUI")
    add_executable(${target} WIN32 ${source})
    # The installer's header settings: start-up and memory differ only by what the work does.
    target_link_options(${target} PRIVATE ${SETUP_VANNIX_LINK_OPTIONS} -Wl,--enable-reloc-section)
  else()
    add_executable(${target} ${source})
    target_link_options(${target} PRIVATE ${_check_ldflags})
  endif()
  target_compile_options(${target} PRIVATE -O2 -Wall -Wextra)
  target_compile_definitions(${target} PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN)
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endfunction()

_vannix_bench(vannix_bench_noop GUI ${_bench_src}/noop.c)
_vannix_bench(vannix_bench_baseline GUI ${_bench_src}/baseline.c)
_vannix_bench(vannix_bench_check_limit CONSOLE ${_bench_src}/check_limit.c)
_vannix_bench(vannix_bench_launch CONSOLE ${_bench_src}/launch.c)
_vannix_bench(vannix_bench_probe DLL ${_bench_src}/probe.c)
add_custom_target(vannix_benchmarks DEPENDS setup_vannix setup_vannix_check vannix_bench_noop
  vannix_bench_baseline vannix_bench_check_limit vannix_bench_launch vannix_bench_probe)
