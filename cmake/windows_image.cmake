# The Windows side of the build: the platform's Win32 implementation, the executable and its image.

# The release build compiles the logic in a few combined translation units: the headers are
# parsed once per batch rather than once per file, which takes a third of the compile time off a
# from-scratch build. Batches of four keep two cores busy and each compiler under 130 MB. The
# native build compiles every file on its own, which keeps each one's includes honest.
set_target_properties(installer_core check_core PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 4)

add_library(platform_win32 STATIC platform/win32_platform.cpp platform/win32_advapi32_on_demand.cpp)
target_link_libraries(platform_win32 PUBLIC installer_core)
target_compile_definitions(platform_win32 PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)
# What only the installation check needs: the registry and CryptoAPI (advapi32), the console.
add_library(platform_win32_check STATIC platform/win32_advapi32.cpp platform/win32_console.cpp)
target_link_libraries(platform_win32_check PUBLIC platform_win32 check_core advapi32)
target_compile_definitions(platform_win32_check PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)
# Compiled while installer_core compiles: a static library need not wait for the libraries it
# links (Makefile builds otherwise order the two targets).
set_target_properties(platform_win32 PROPERTIES OPTIMIZE_DEPENDENCIES ON)

# Header settings of the shipped image; the relocation section is kept (see cmake/image_layout.ld).
set(SETUP_VANNIX_LINK_OPTIONS
  -mwindows -municode -static -s
  -Wl,--disable-dynamicbase,--disable-nxcompat,--disable-tsaware,--disable-large-address-aware
  -Wl,--major-os-version=5,--minor-os-version=0,--major-subsystem-version=5,--minor-subsystem-version=0
  -Wl,--major-image-version=0,--minor-image-version=0,--image-base=0x00400000
  -Wl,--no-insert-timestamp
  # Page-aligned sections in the file let every loader map the 80 MB payload in place; with
  # 512-byte alignment Wine reads the whole resource section into private memory.
  -Wl,--file-alignment=0x1000
  "SHELL:-Xlinker --stack=1048576,16384" "SHELL:-Xlinker --heap=1048576,4096")

# Adds one installer executable. EXTRA_DEFINITIONS makes test-only variants (never shipped).
function(setup_vannix_add_executable target output_name)
  add_executable(${target} WIN32 setup_vannix.cpp)
  target_link_libraries(${target} PRIVATE platform_win32)
  target_compile_definitions(${target} PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX ${ARGN})
  target_link_options(${target} PRIVATE ${SETUP_VANNIX_LINK_OPTIONS})
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${output_name})
endfunction()

# Linked without the payload, which is embedded afterwards (image.cmake).
setup_vannix_add_executable(setup_vannix_linked setup_vannix-linked)
# Raise a C++ failure, or a processor fault, inside the installation: failure-path tests only.
setup_vannix_add_executable(setup_vannix_failtest setup_vannix-failtest SETUP_VANNIX_RAISE_FAILURE=1)
setup_vannix_add_executable(setup_vannix_faulttest setup_vannix-faulttest SETUP_VANNIX_RAISE_FAILURE=2)

# Sample components, payload validation, resources, layout and signature of the image.
include(cmake/image.cmake)
# The installation check, its digest table and the release record of both signed images.
include(cmake/check_program.cmake)
# End-to-end runs under Wine.
include(cmake/wine_tests.cmake)
# Benchmark programs (tools/bench/run.sh), only with -DSETUP_VANNIX_BENCHMARKS=ON.
if(SETUP_VANNIX_BENCHMARKS)
  include(cmake/benchmarks.cmake)
endif()
