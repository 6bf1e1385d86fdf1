# The installation check (setup_vannix_check.exe): a 32-bit console program that verifies an
# installation against the digest table made from this build's payload record, signed like the
# installer; then the release record of both signed images (setup_vannix.cdx.json) and their
# image tests. Included by windows_image.cmake after image.cmake, whose payload record, signing
# arguments and test environment it uses.

set(SETUP_VANNIX_SIGNED_CHECK ${CMAKE_BINARY_DIR}/setup_vannix_check.exe)
set(SETUP_VANNIX_RELEASE_RECORD ${CMAKE_BINARY_DIR}/setup_vannix.cdx.json)
set(_check_res ${CMAKE_BINARY_DIR}/resources)

# setup_vannix_add_check(<target> <resource directory>): a check program whose digest table is
# <resource directory>/payload_digests.txt (written from that directory's payload.json). The
# shipped check is one; the end-to-end tests make another for their size-faithful payload.
function(setup_vannix_add_check target res_dir)
  add_custom_command(OUTPUT ${res_dir}/payload_digests.txt
    COMMAND ${SETUP_VANNIX_PYTHON} ${_image_tools}/payload_digests.py ${res_dir}/payload.json
            ${res_dir}/payload_digests.txt
    DEPENDS ${res_dir}/payload.json ${_image_tools}/payload_digests.py
            ${_image_tools}/payload_record.py ${_image_tools}/catalogue.py
    COMMENT "Writing the check's digest table ${res_dir}/payload_digests.txt" VERBATIM)
  add_custom_command(OUTPUT ${res_dir}/setup_vannix_check_res.o
    COMMAND ${CMAKE_RC_COMPILER} -I ${res_dir} -I ${CMAKE_SOURCE_DIR}/resources -O coff
            -o ${res_dir}/setup_vannix_check_res.o ${CMAKE_SOURCE_DIR}/resources/setup_vannix_check.rc
    DEPENDS ${CMAKE_SOURCE_DIR}/resources/setup_vannix_check.rc
            ${CMAKE_SOURCE_DIR}/resources/setup_vannix_check.manifest ${res_dir}/payload_digests.txt
    COMMENT "Compiling the check's resources" VERBATIM)
  set_source_files_properties(${res_dir}/setup_vannix_check_res.o PROPERTIES
    GENERATED TRUE EXTERNAL_OBJECT TRUE)
  add_custom_target(${target}_resources DEPENDS ${res_dir}/setup_vannix_check_res.o)

  add_executable(${target} ${CMAKE_SOURCE_DIR}/setup_vannix_check.cpp
    ${res_dir}/setup_vannix_check_res.o)
  add_dependencies(${target} ${target}_resources)
  target_link_libraries(${target} PRIVATE platform_win32_check)
  target_compile_definitions(${target} PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  # A console tool started by hand: dynamic base and NX on. Relocations are needed anyway, since
  # Wine's loader may hold the preferred base (see tools/wine/README.md).
  target_link_options(${target} PRIVATE
    -municode -static -s
    -Wl,--dynamicbase,--nxcompat,--enable-reloc-section
    -Wl,--major-os-version=5,--minor-os-version=0,--major-subsystem-version=5,--minor-subsystem-version=0
    -Wl,--no-insert-timestamp)
endfunction()

# Named like the installer's targets: setup_vannix_check_unsigned links, setup_vannix_check signs.
# payload.json is made by the payload validation, which belongs to setup_vannix_payload:
# depending on that target keeps make from running it twice.
setup_vannix_add_check(setup_vannix_check_unsigned ${_check_res})
set_target_properties(setup_vannix_check_unsigned PROPERTIES
  OUTPUT_NAME setup_vannix_check-unsigned)
add_dependencies(setup_vannix_check_unsigned_resources setup_vannix_payload)

# Signed with the installer's certificate and options.
add_custom_command(OUTPUT ${SETUP_VANNIX_SIGNED_CHECK}
  COMMAND sh ${_image_tools}/sign_image.sh $<TARGET_FILE:setup_vannix_check_unsigned>
          ${SETUP_VANNIX_SIGNED_CHECK} ${_sign_args}
  DEPENDS setup_vannix_check_unsigned $<TARGET_FILE:setup_vannix_check_unsigned> ${_sign_depends}
          ${_image_tools}/sign_image.sh
  COMMENT "Signing setup_vannix_check.exe" VERBATIM)
add_custom_target(setup_vannix_check ALL DEPENDS ${SETUP_VANNIX_SIGNED_CHECK})
add_dependencies(setup_vannix_check setup_vannix_signing_keys)

# The release record, after both images are signed.
add_custom_command(OUTPUT ${SETUP_VANNIX_RELEASE_RECORD}
  COMMAND ${SETUP_VANNIX_PYTHON} ${_image_tools}/release_record.py
          --payload-record ${_check_res}/payload.json --installer ${SETUP_VANNIX_SIGNED_IMAGE}
          --check ${SETUP_VANNIX_SIGNED_CHECK} --out ${SETUP_VANNIX_RELEASE_RECORD}
  DEPENDS ${SETUP_VANNIX_SIGNED_IMAGE} ${SETUP_VANNIX_SIGNED_CHECK} ${_check_res}/payload.json
          ${_image_tools}/release_record.py ${_image_tools}/payload_record.py
          ${_image_tools}/payload_digests.py ${_image_tools}/print_payload.py
  COMMENT "Writing the release record setup_vannix.cdx.json" VERBATIM)
add_custom_target(setup_vannix_release_record ALL DEPENDS ${SETUP_VANNIX_RELEASE_RECORD})
add_dependencies(setup_vannix_release_record setup_vannix setup_vannix_check)

# Image tests of the check and of the release record.
foreach(_test check_image release_record)
  setup_vannix_image_test(${_test} SETUP_VANNIX_CHECK_IMAGE=${SETUP_VANNIX_SIGNED_CHECK}
    SETUP_VANNIX_RELEASE_RECORD=${SETUP_VANNIX_RELEASE_RECORD})
endforeach()
