# The installer image: sample payload, payload validation, resources, section layout, payload
# embedding, signature and the image tests. Included by windows_image.cmake in the cross build.

set(SETUP_VANNIX_PYTHON /usr/bin/python3 CACHE FILEPATH "Python with pefile, for build tools")
option(SETUP_VANNIX_SIZE_FAITHFUL "Pad the sample components to the real components' sizes" OFF)
set(SETUP_VANNIX_SIGN_CERTS "" CACHE FILEPATH "PEM chain to sign with (leaf first); empty: test PKI")
set(SETUP_VANNIX_SIGN_KEY "" CACHE FILEPATH "Private key of the signing certificate")
set(SETUP_VANNIX_TIMESTAMP_URL "" CACHE STRING "RFC 3161 service; empty: offline test timestamp")
# A key in a token or HSM (docs/signing.md). The PIN stays out of the cache: pin-source=file:... in
# the key URI, or SETUP_VANNIX_PKCS11_PIN in the environment of the build.
set(SETUP_VANNIX_SIGN_PKCS11_MODULE "" CACHE FILEPATH "PKCS#11 module (.so) of the signing token")
set(SETUP_VANNIX_SIGN_PKCS11_KEY "" CACHE STRING "PKCS#11 URI of the signing key")
set(SETUP_VANNIX_SIGN_PKCS11_CERT "" CACHE STRING
    "PKCS#11 URI of the signing certificate; empty: the leaf of SETUP_VANNIX_SIGN_CERTS")
set(SETUP_VANNIX_SIGN_PKCS11_ENGINE "" CACHE FILEPATH
    "OpenSSL engine for the module; empty: OpenSSL's pkcs11 engine")

set(_image_tools ${CMAKE_SOURCE_DIR}/tools/image)
set(_res_out ${CMAKE_BINARY_DIR}/resources)
file(MAKE_DIRECTORY ${_res_out})
set(SETUP_VANNIX_UNSIGNED_IMAGE ${CMAKE_BINARY_DIR}/setup_vannix-unsigned.exe)
set(SETUP_VANNIX_SIGNED_IMAGE ${CMAKE_BINARY_DIR}/setup_vannix.exe)
set(SETUP_VANNIX_SIGNED_FAILTEST ${CMAKE_BINARY_DIR}/setup_vannix-failtest.exe)

# The image is built in steps: the program's own resources and the signing keys, the payload
# directory watched, the payload validated (which writes the payload script), the program linked
# with its small resources (manifest, version block, icon), the payload embedded into the linked
# image, the image signed. Only the last steps read the 80 MB payload; the link never does.
# Ninja (1.11) starts the ready step that its file defines first, and CMake defines custom
# commands in the order of their targets: the first two steps are defined before the sample
# components, so that the entry point's compile (which waits for the resources) and the keys
# start as soon as a core is free, not after the last sample (0.5 to 1 s off a 2-core build).

# 1. The program's own resources, linked into every image; the payload is not among them.
add_custom_command(OUTPUT ${_res_out}/setup_vannix.ico
  COMMAND ${SETUP_VANNIX_PYTHON} ${_image_tools}/make_icon.py ${_res_out}/setup_vannix.ico
  DEPENDS ${_image_tools}/make_icon.py VERBATIM)
set(_rc_sources ${CMAKE_SOURCE_DIR}/resources/setup_vannix.rc
    ${CMAKE_SOURCE_DIR}/resources/setup_vannix.manifest)
add_custom_command(OUTPUT ${_res_out}/setup_vannix_res.o
  COMMAND ${CMAKE_RC_COMPILER} -I ${_res_out} -I ${CMAKE_SOURCE_DIR}/resources -O coff
          -o ${_res_out}/setup_vannix_res.o ${CMAKE_SOURCE_DIR}/resources/setup_vannix.rc
  DEPENDS ${_rc_sources} ${_res_out}/setup_vannix.ico
  COMMENT "Compiling the image resources" VERBATIM)
add_custom_target(setup_vannix_image_resources DEPENDS ${_res_out}/setup_vannix_res.o)

# Gives <target> the manifest, version block and icon, and the section layout that keeps
# relocations in front of the resource section.
function(setup_vannix_add_image_resources target)
  add_dependencies(${target} setup_vannix_image_resources)
  target_sources(${target} PRIVATE ${_res_out}/setup_vannix_res.o)
  target_link_options(${target} PRIVATE
    -T ${CMAKE_SOURCE_DIR}/cmake/image_layout.ld -Wl,--enable-reloc-section)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS
    ${CMAKE_SOURCE_DIR}/cmake/image_layout.ld)
endfunction()
set_source_files_properties(${_res_out}/setup_vannix_res.o PROPERTIES
  GENERATED TRUE EXTERNAL_OBJECT TRUE)

# 2. Signing keys: a key in a token or HSM, the users' own key file, or a local test PKI made once
# in the build tree.
if(SETUP_VANNIX_SIGN_PKCS11_MODULE OR SETUP_VANNIX_SIGN_PKCS11_KEY)
  if(NOT (SETUP_VANNIX_SIGN_PKCS11_MODULE AND SETUP_VANNIX_SIGN_PKCS11_KEY))
    message(FATAL_ERROR "SETUP_VANNIX_SIGN_PKCS11_MODULE and SETUP_VANNIX_SIGN_PKCS11_KEY go together")
  endif()
  if(SETUP_VANNIX_SIGN_PKCS11_KEY MATCHES "pin-value=")
    string(REGEX REPLACE "pin-value=[^;?&]*" "pin-value=(removed)" _key
           "${SETUP_VANNIX_SIGN_PKCS11_KEY}")
    set_property(CACHE SETUP_VANNIX_SIGN_PKCS11_KEY PROPERTY VALUE "${_key}")
    message(FATAL_ERROR "pin-value= would keep the PIN in the CMake cache (now removed from it): "
                        "use pin-source=file:... "
                        "or SETUP_VANNIX_PKCS11_PIN in the build's environment")
  endif()
  if(NOT SETUP_VANNIX_TIMESTAMP_URL)
    message(FATAL_ERROR "SETUP_VANNIX_TIMESTAMP_URL is required with SETUP_VANNIX_SIGN_PKCS11_KEY")
  endif()
  # URI attributes are separated by semicolons, CMake's list separator: keep each URI one argument.
  string(REPLACE ";" "\\;" _key "${SETUP_VANNIX_SIGN_PKCS11_KEY}")
  string(REPLACE ";" "\\;" _cert "${SETUP_VANNIX_SIGN_PKCS11_CERT}")
  set(_sign_args --pkcs11-module ${SETUP_VANNIX_SIGN_PKCS11_MODULE})
  set(_sign_depends ${SETUP_VANNIX_SIGN_PKCS11_MODULE})
  if(SETUP_VANNIX_SIGN_PKCS11_ENGINE)
    list(APPEND _sign_args --pkcs11-engine ${SETUP_VANNIX_SIGN_PKCS11_ENGINE})
  endif()
  if(SETUP_VANNIX_SIGN_PKCS11_CERT)
    if(SETUP_VANNIX_SIGN_CERTS)  # the intermediates, when the token holds the leaf only
      list(APPEND _sign_args --extra-certs ${SETUP_VANNIX_SIGN_CERTS})
      list(APPEND _sign_depends ${SETUP_VANNIX_SIGN_CERTS})
    endif()
    list(APPEND _sign_args "${_cert}")
  elseif(SETUP_VANNIX_SIGN_CERTS)
    list(APPEND _sign_args ${SETUP_VANNIX_SIGN_CERTS})
    list(APPEND _sign_depends ${SETUP_VANNIX_SIGN_CERTS})
  else()
    message(FATAL_ERROR "SETUP_VANNIX_SIGN_PKCS11_KEY needs SETUP_VANNIX_SIGN_CERTS or "
                        "SETUP_VANNIX_SIGN_PKCS11_CERT")
  endif()
  list(APPEND _sign_args "${_key}" ${SETUP_VANNIX_TIMESTAMP_URL})
elseif(SETUP_VANNIX_SIGN_CERTS AND SETUP_VANNIX_SIGN_KEY)
  set(_sign_args ${SETUP_VANNIX_SIGN_CERTS} ${SETUP_VANNIX_SIGN_KEY})
  set(_sign_depends ${SETUP_VANNIX_SIGN_CERTS} ${SETUP_VANNIX_SIGN_KEY})
  if(SETUP_VANNIX_TIMESTAMP_URL)
    list(APPEND _sign_args ${SETUP_VANNIX_TIMESTAMP_URL})
  else()
    message(FATAL_ERROR "SETUP_VANNIX_TIMESTAMP_URL is required with SETUP_VANNIX_SIGN_CERTS")
  endif()
else()
  set(SETUP_VANNIX_TEST_PKI ${CMAKE_BINARY_DIR}/test-pki)
  add_custom_command(OUTPUT ${SETUP_VANNIX_TEST_PKI}/chain.pem ${SETUP_VANNIX_TEST_PKI}/leaf.key
                            ${SETUP_VANNIX_TEST_PKI}/tsa.pem ${SETUP_VANNIX_TEST_PKI}/tsa.key
                            ${SETUP_VANNIX_TEST_PKI}/root.pem ${SETUP_VANNIX_TEST_PKI}/time
    COMMAND sh ${_image_tools}/make_test_pki.sh ${SETUP_VANNIX_TEST_PKI}
    DEPENDS ${_image_tools}/make_test_pki.sh
    COMMENT "Creating the test signing PKI" VERBATIM)
  set(_p ${SETUP_VANNIX_TEST_PKI})
  set(_sign_args ${_p}/chain.pem ${_p}/leaf.key ${_p}/tsa.pem ${_p}/tsa.key ${_p}/time)
  set(_sign_depends ${_sign_args} ${_p}/root.pem)
endif()

# The keys are a target of their own, so that they are made while other steps build.
add_custom_target(setup_vannix_signing_keys DEPENDS ${_sign_depends})

include(${CMAKE_SOURCE_DIR}/tools/components/components.cmake)
set(SETUP_VANNIX_PAYLOAD_DIR ${SETUP_VANNIX_SAMPLE_PAYLOAD_DIR} CACHE PATH
    "Directory with 32/ and 64/ holding the component files to embed")

# 3. The payload directory, watched: listed at every build, the listing rewritten only when it
#    changes, so that a file added, removed or replaced makes the build validate it again.
set(_payload_listing ${_res_out}/payload-files.txt)
add_custom_target(setup_vannix_payload_watch
  COMMAND ${SETUP_VANNIX_PYTHON} ${_image_tools}/list_payload_dir.py ${SETUP_VANNIX_PAYLOAD_DIR}
          ${_payload_listing}
  BYPRODUCTS ${_payload_listing} VERBATIM)
if(SETUP_VANNIX_PAYLOAD_DIR STREQUAL SETUP_VANNIX_SAMPLE_PAYLOAD_DIR)
  set(_payload_files ${SETUP_VANNIX_SAMPLE_STAMP})
  add_dependencies(setup_vannix_payload_watch setup_vannix_sample_payload)
else()
  set(_payload_files)
endif()
set(_payload_depends ${_payload_listing} ${_payload_files})

# 4. Validation writes the payload script and the payload record (from which the check's digest
#    table and the release record are made) only when the payload is sound; when it is not, it
#    also removes the images so that none built from another payload is mistaken for this one.
add_custom_command(OUTPUT ${_res_out}/payload.rc ${_res_out}/payload.json
  COMMAND ${SETUP_VANNIX_PYTHON} ${_image_tools}/validate_payload.py ${SETUP_VANNIX_PAYLOAD_DIR}
          --rc ${_res_out}/payload.rc --json ${_res_out}/payload.json
          --remove-on-failure ${SETUP_VANNIX_UNSIGNED_IMAGE} ${SETUP_VANNIX_SIGNED_IMAGE}
          # the check program and the release record (cmake/check_program.cmake)
          ${CMAKE_BINARY_DIR}/setup_vannix_check-unsigned.exe ${CMAKE_BINARY_DIR}/setup_vannix_check.exe
          ${CMAKE_BINARY_DIR}/setup_vannix.cdx.json
  DEPENDS ${_payload_depends} ${_image_tools}/validate_payload.py ${_image_tools}/catalogue.py
          ${_image_tools}/payload_record.py ${_image_tools}/typelib.py
          ${CMAKE_SOURCE_DIR}/installer/catalogue.h
  COMMENT "Validating the payload in ${SETUP_VANNIX_PAYLOAD_DIR}" VERBATIM)
add_custom_target(setup_vannix_payload DEPENDS ${_res_out}/payload.rc)
add_dependencies(setup_vannix_payload setup_vannix_payload_watch)

# 5. setup_vannix_embed_payload(<new target> <linked target> <output>): <output> is the image of
#    <linked target> (which has the image resources) with the payload added to its resources.
function(setup_vannix_embed_payload new_target linked_target output)
  add_custom_command(OUTPUT ${output}
    COMMAND ${SETUP_VANNIX_PYTHON} ${_image_tools}/embed_payload.py
            $<TARGET_FILE:${linked_target}> ${_res_out}/payload.rc ${output}
    DEPENDS ${linked_target} $<TARGET_FILE:${linked_target}> ${_res_out}/payload.rc
            ${_payload_depends} ${_image_tools}/embed_payload.py ${_image_tools}/pe_resources.py
    COMMENT "Embedding the payload: ${output}" VERBATIM)
  add_custom_target(${new_target} DEPENDS ${output})
  add_dependencies(${new_target} setup_vannix_payload)
endfunction()

setup_vannix_add_image_resources(setup_vannix_linked)
setup_vannix_embed_payload(setup_vannix_unsigned setup_vannix_linked ${SETUP_VANNIX_UNSIGNED_IMAGE})
# The failure-path variants stop before any copy: they carry no payload.
setup_vannix_add_image_resources(setup_vannix_failtest)
setup_vannix_add_image_resources(setup_vannix_faulttest)

# 6. Signing, with the keys of step 2.
add_custom_command(OUTPUT ${SETUP_VANNIX_SIGNED_IMAGE}
  COMMAND sh ${_image_tools}/sign_image.sh ${SETUP_VANNIX_UNSIGNED_IMAGE}
          ${SETUP_VANNIX_SIGNED_IMAGE} ${_sign_args}
  DEPENDS ${SETUP_VANNIX_UNSIGNED_IMAGE} ${_sign_depends} ${_image_tools}/sign_image.sh
  COMMENT "Signing setup_vannix.exe" VERBATIM)
add_custom_target(setup_vannix ALL DEPENDS ${SETUP_VANNIX_SIGNED_IMAGE})
add_dependencies(setup_vannix setup_vannix_unsigned setup_vannix_signing_keys)
# The failure-path variant is linked under its final name, so it is signed in place.
add_dependencies(setup_vannix_failtest setup_vannix_signing_keys)
add_custom_command(TARGET setup_vannix_failtest POST_BUILD
  COMMAND sh ${_image_tools}/sign_image.sh $<TARGET_FILE:setup_vannix_failtest>
          $<TARGET_FILE:setup_vannix_failtest> ${_sign_args}
  COMMENT "Signing setup_vannix-failtest.exe" VERBATIM)

# Image tests: read the signed image and the payload it was built from.
enable_testing()
set(_image_test_env
  SETUP_VANNIX_IMAGE=${SETUP_VANNIX_SIGNED_IMAGE}
  SETUP_VANNIX_UNSIGNED=${SETUP_VANNIX_UNSIGNED_IMAGE}
  SETUP_VANNIX_PAYLOAD_DIR=${SETUP_VANNIX_PAYLOAD_DIR}
  SETUP_VANNIX_SIZE_FAITHFUL=$<BOOL:${SETUP_VANNIX_SIZE_FAITHFUL}>
  SETUP_VANNIX_TEST_PKI=${SETUP_VANNIX_TEST_PKI}
  SETUP_VANNIX_RES_DIR=${_res_out}
  SETUP_VANNIX_SOURCE_DIR=${CMAKE_SOURCE_DIR}
  SETUP_VANNIX_RC_COMPILER=${CMAKE_RC_COMPILER}
  SETUP_VANNIX_C_COMPILER=${CMAKE_C_COMPILER})
# setup_vannix_image_test(NAME [VAR=VALUE...]): tests/image/test_NAME.py as CTest image_NAME, with
# the image test environment and the given variables.
function(setup_vannix_image_test name)
  add_test(NAME image_${name}
    COMMAND ${SETUP_VANNIX_PYTHON} ${CMAKE_SOURCE_DIR}/tests/image/test_${name}.py -v)
  set(environment ${_image_test_env} ${ARGN})
  set_tests_properties(image_${name} PROPERTIES LABELS image ENVIRONMENT "${environment}")
endfunction()
foreach(_test payload_resources manifest_version_icon headers signature reproducible validation
        embedding payload_watch)
  setup_vannix_image_test(${_test})
endforeach()
# Signing through a PKCS#11 token (SoftHSM) and through extract-data and attach-signature, with the
# test PKI, in a directory of their own in the build tree.
foreach(_test pkcs11_signing external_signing)
  setup_vannix_image_test(${_test}
    SETUP_VANNIX_SIGNING_TEST_DIR=${CMAKE_BINARY_DIR}/signing-tests/${_test})
endforeach()
