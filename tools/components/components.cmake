# Sample component files: stand-ins for the real payload, built from this directory.
# Produces ${SETUP_VANNIX_SAMPLE_PAYLOAD_DIR}/{32,64}/<BaseName><Extension>, their stamp
# SETUP_VANNIX_SAMPLE_STAMP and the target setup_vannix_sample_payload. Twins are built once and
# copied into both directories.

set(_sample_src ${CMAKE_CURRENT_LIST_DIR})
set(SETUP_VANNIX_SAMPLE_PAYLOAD_DIR ${CMAKE_BINARY_DIR}/payload)
find_program(SETUP_VANNIX_X64_CC x86_64-w64-mingw32-gcc REQUIRED)
find_program(SETUP_VANNIX_X64_RC x86_64-w64-mingw32-windres REQUIRED)
# widl (Debian's mingw-w64-tools) compiles the servers' IDL into their type libraries.
find_program(SETUP_VANNIX_WIDL i686-w64-mingw32-widl REQUIRED)
# widl writes the time of its run into the library; a fixed one keeps the samples reproducible.
# Frozen (-f): a plain date only starts the clock there, and a widl run that takes more than a
# second on a loaded machine wrote 00:00:01.
find_program(SETUP_VANNIX_FAKETIME faketime REQUIRED)
foreach(_dir any 32 64 x64 version typelib untyped)
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/samples/${_dir})
endforeach()

# No C runtime: the samples import only kernel32/advapi32, and stay small and reproducible. The
# same flags whatever the build type, so that the payload does not depend on it.
set(_sample_cflags -O2 -Wall -Wextra -nostdlib -fno-tree-loop-distribute-patterns
    -fno-asynchronous-unwind-tables -fno-ident)
# A fixed base: ld otherwise derives one from the output path, which differs between trees.
set(_sample_ldflags -nostdlib -s -Wl,--no-insert-timestamp -Wl,--disable-auto-image-base)
set(_sample_libs -ladvapi32 -lkernel32 -luuid -lgcc)
set(SETUP_VANNIX_SAMPLE_FILES "")
set(_vannix_staging "")  # SOURCE DEST SIZE triples for stage_component.py
# SOURCE VARIANT/FILE SIZE triples with the real sizes, whatever SETUP_VANNIX_SIZE_FAITHFUL says:
# the end-to-end tests stage a size-faithful payload of their own from them.
set(SETUP_VANNIX_SAMPLE_SIZES "")
set(_vannix_built "")

# _vannix_sample_version(<out-var> <name> <build> <arch> <a.b.c.d>)
# Compiles the version block of one sample into an object for the arch's linker.
function(_vannix_sample_version out name build arch version)
  set(SAMPLE_NAME ${name})
  set(SAMPLE_VERSION ${version})
  string(REPLACE "." "," SAMPLE_VERSION_COMMAS ${version})
  set(base ${CMAKE_BINARY_DIR}/samples/version/${name}_${build}_${arch})
  configure_file(${_sample_src}/sample_version.rc.in ${base}.rc @ONLY)
  set(rc ${CMAKE_RC_COMPILER})
  if(arch STREQUAL "x86_64")
    set(rc ${SETUP_VANNIX_X64_RC})
  endif()
  add_custom_command(OUTPUT ${base}.o
    COMMAND ${rc} -O coff -o ${base}.o ${base}.rc
    DEPENDS ${base}.rc
    COMMENT "" VERBATIM)
  set(${out} ${base}.o PARENT_SCOPE)
endfunction()

# _vannix_sample_typelib(<out-var> <name>): the type library of server <name> (typelibs/<name>.idl
# compiled by widl) in a TYPELIB resource object for the i686 linker, and the server's class
# table (samples/classes/<name>/sample_classes.h, from the same IDL). Sets <out-var> to the object
# and <out-var>_INCLUDE to the table's directory.
function(_vannix_sample_typelib out name)
  set(base ${CMAKE_BINARY_DIR}/samples/typelib/${name})
  set(classes ${CMAKE_BINARY_DIR}/samples/classes/${name})
  set(idl ${_sample_src}/typelibs/${name}.idl)
  set(${out} ${base}.o PARENT_SCOPE)
  set(${out}_INCLUDE ${classes} PARENT_SCOPE)
  # Once per server: its two variants and its build without the library share them.
  get_property(made GLOBAL PROPERTY vannix_sample_typelib_${name})
  if(made)
    return()
  endif()
  set_property(GLOBAL PROPERTY vannix_sample_typelib_${name} TRUE)
  file(MAKE_DIRECTORY ${classes})
  file(WRITE ${base}.rc "1 TYPELIB \"${base}.tlb\"\n")
  add_custom_command(OUTPUT ${base}.o ${base}.tlb ${classes}/sample_classes.h
    COMMAND ${CMAKE_COMMAND} -E env TZ=UTC ${SETUP_VANNIX_FAKETIME} -f "2000-01-01 00:00:00"
            ${SETUP_VANNIX_WIDL} -I ${_sample_src}/typelibs -t -o ${base}.tlb ${idl}
    COMMAND ${CMAKE_RC_COMPILER} -O coff -o ${base}.o ${base}.rc
    COMMAND ${SETUP_VANNIX_PYTHON} ${_sample_src}/sample_classes.py ${idl}
            ${classes}/sample_classes.h
    DEPENDS ${idl} ${_sample_src}/typelibs/sample_interface.idl ${_sample_src}/sample_classes.py
    COMMENT "" VERBATIM)
endfunction()

# _vannix_sample_build(<out-var> <name> <build> <arch> <version> <typelib> <source> <defines...>)
# Builds one sample DLL for build "any", "32", "64" or "untyped" (a server without its type
# library, for the end-to-end tests); arch i686 or x86_64; version a.b.c.d of its version block,
# or empty for none; typelib: "TYPELIB" to link the server's type library. One compiler call
# compiles and links: a CMake library target per sample costs more than the compiler itself.
function(_vannix_sample_build out name build arch version typelib source)
  set(defines SAMPLE_NAME="${name}" ${ARGN})
  if(NOT build STREQUAL "any")
    list(APPEND defines SAMPLE_BUILD="${build}")
  endif()
  list(TRANSFORM defines PREPEND -D)
  set(extra_ld)
  if(name STREQUAL "msxml6r")
    list(APPEND extra_ld -T ${_sample_src}/single_section.ld -Wl,--exclude-all-symbols)
  else()
    list(APPEND extra_ld -Wl,--kill-at)
  endif()
  set(version_object)
  if(version)
    _vannix_sample_version(version_object ${name} ${build} ${arch} ${version})
  endif()
  set(objects ${version_object})
  set(class_include)
  set(class_table)
  if(source STREQUAL "sample_server.c")
    # The class table always; the type library unless the build is one without it.
    _vannix_sample_typelib(typelib_object ${name})
    set(class_include -I ${typelib_object_INCLUDE})
    set(class_table ${typelib_object_INCLUDE}/sample_classes.h)
    if(typelib STREQUAL "TYPELIB")
      list(APPEND objects ${typelib_object})
    endif()
  endif()
  if(arch STREQUAL "x86_64")
    set(cc ${SETUP_VANNIX_X64_CC})
    set(link -Wl,-e,DllMain)
    set(file ${CMAKE_BINARY_DIR}/samples/x64/${name}.dll)
  else()
    set(cc ${CMAKE_C_COMPILER})
    # Image version 0.0, as CMake's library rule gave the i686 samples.
    set(link -Wl,-e,_DllMain@12 -Wl,--major-image-version,0,--minor-image-version,0)
    set(file ${CMAKE_BINARY_DIR}/samples/${build}/${name}.dll)
  endif()
  add_custom_command(OUTPUT ${file}
    COMMAND ${cc} ${_sample_cflags} ${defines} ${class_include} -shared ${_sample_ldflags}
            ${extra_ld} ${link} -o ${file} ${_sample_src}/${source} ${objects} ${_sample_libs}
    # This file too: Makefile builds do not rerun a command whose flags changed.
    DEPENDS ${_sample_src}/${source} ${_sample_src}/sample_com.h ${_sample_src}/single_section.ld
            ${_sample_src}/components.cmake ${objects} ${class_table}
    # No message: in Makefile builds each would cost a process of its own.
    COMMENT "" VERBATIM)
  set(${out} ${file} PARENT_SCOPE)
endfunction()

# _vannix_stage(<built file> <variant> <file name> <padded size>): adds one file to the staging
# step below.
function(_vannix_stage built variant file_name size)
  set(dest ${SETUP_VANNIX_SAMPLE_PAYLOAD_DIR}/${variant}/${file_name})
  set(SETUP_VANNIX_SAMPLE_SIZES ${SETUP_VANNIX_SAMPLE_SIZES} ${built} ${variant}/${file_name} ${size}
      PARENT_SCOPE)
  if(NOT SETUP_VANNIX_SIZE_FAITHFUL)
    set(size -)
  endif()
  set(SETUP_VANNIX_SAMPLE_FILES ${SETUP_VANNIX_SAMPLE_FILES} ${dest} PARENT_SCOPE)
  set(_vannix_staging ${_vannix_staging} ${built} ${dest} ${size} PARENT_SCOPE)
  set(_vannix_built ${_vannix_built} ${built} PARENT_SCOPE)
endfunction()

# vannix_sample(<BaseName> <Extension> <size 32> <size 64> SOURCE <file> [TWIN] [X64]
#               [VERSION <a.b.c.d>] [VERSION32 <a.b.c.d>] [VERSION64 <a.b.c.d>] [DEFINES ...])
# Sizes are the real components' byte counts, used for padding. VERSION gives both variants a
# version block as the real component has, VERSION32/VERSION64 one variant's.
macro(vannix_sample name ext size32 size64)
  cmake_parse_arguments(_s "TWIN;X64" "SOURCE;VERSION;VERSION32;VERSION64" "DEFINES" ${ARGN})
  set(_v32 "${_s_VERSION}")
  set(_v64 "${_s_VERSION}")
  if(_s_VERSION32)
    set(_v32 "${_s_VERSION32}")
  endif()
  if(_s_VERSION64)
    set(_v64 "${_s_VERSION64}")
  endif()
  if(_s_TWIN)
    if(NOT _v32 STREQUAL _v64)
      message(FATAL_ERROR "sample ${name}: twins are one file and have one version")
    endif()
    _vannix_sample_build(_built ${name} any i686 "${_v32}" TYPELIB ${_s_SOURCE} ${_s_DEFINES})
    _vannix_stage(${_built} 32 ${name}${ext} ${size32})
    _vannix_stage(${_built} 64 ${name}${ext} ${size64})
  else()
    _vannix_sample_build(_built ${name} 32 i686 "${_v32}" TYPELIB ${_s_SOURCE} ${_s_DEFINES})
    _vannix_stage(${_built} 32 ${name}${ext} ${size32})
    set(_arch i686)
    if(_s_X64)
      set(_arch x86_64)
    endif()
    _vannix_sample_build(_built ${name} 64 ${_arch} "${_v64}" TYPELIB ${_s_SOURCE} ${_s_DEFINES})
    _vannix_stage(${_built} 64 ${name}${ext} ${size64})
  endif()
endmacro()

vannix_sample(KorviX .dll 4848128 4848128 SOURCE sample_server.c TWIN DEFINES SAMPLE_BASE=KorviX)
vannix_sample(KorviDataSetX .dll 4714496 4714496 SOURCE sample_server.c TWIN
  DEFINES SAMPLE_BASE=KorviDataSetX)
vannix_sample(msxml6 .dll 1391616 2022304 SOURCE sample_server.c
  VERSION32 6.30.7601.24402 VERSION64 6.30.17763.437 DEFINES SAMPLE_BASE=msxml6)
vannix_sample(KorviGovX .ocx 16869888 16869888 SOURCE sample_server.c TWIN
  DEFINES SAMPLE_BASE=KorviGovX SAMPLE_DLLINSTALL)
vannix_sample(midas .dll 437632 437632 SOURCE sample_server.c TWIN VERSION 21.0.17017.3725
  DEFINES SAMPLE_BASE=midas)
vannix_sample(stdvcl40 .dll 2406768 2224064 SOURCE sample_server.c VERSION 4.0.0.0
  DEFINES SAMPLE_BASE=stdvcl40)
vannix_sample(ssleay32 .dll 276992 353792 SOURCE sample_library.c X64 DEFINES SAMPLE_EXPORTS=ssl)
vannix_sample(libeay32 .dll 1276928 2101248 SOURCE sample_library.c X64
  DEFINES SAMPLE_EXPORTS=crypto)
vannix_sample(msxml6r .dll 2048 2560 SOURCE sample_library.c
  VERSION32 6.30.7601.24402 VERSION64 6.30.17763.1 DEFINES SAMPLE_EXPORTS=none)
vannix_sample(qelKorviLibUNICODE .dll 4723712 4723712 SOURCE sample_library.c TWIN
  DEFINES SAMPLE_EXPORTS=native)
vannix_sample(qelKorviLib .dll 2235392 2235392 SOURCE sample_library.c TWIN
  DEFINES SAMPLE_EXPORTS=native)

# One step stages all 22 files (a process per file cost more than the copies); its stamp stands
# for them, so that Makefile builds need no rule per file.
set(SETUP_VANNIX_SAMPLE_STAMP ${CMAKE_BINARY_DIR}/samples/staged.stamp)
add_custom_command(OUTPUT ${SETUP_VANNIX_SAMPLE_STAMP}
  BYPRODUCTS ${SETUP_VANNIX_SAMPLE_FILES}
  COMMAND ${SETUP_VANNIX_PYTHON} ${_sample_src}/stage_component.py
          --stamp ${SETUP_VANNIX_SAMPLE_STAMP} ${_vannix_staging}
  DEPENDS ${_vannix_built} ${_sample_src}/stage_component.py ${_sample_src}/components.cmake
  COMMENT "Staging the sample payload in ${SETUP_VANNIX_SAMPLE_PAYLOAD_DIR}" VERBATIM)
add_custom_target(setup_vannix_sample_payload DEPENDS ${SETUP_VANNIX_SAMPLE_STAMP})

# midas.dll without its type library, for the end-to-end scenario of a server whose classes the
# build cannot list (cmake/wine_tests.cmake stages it in a payload of its own).
_vannix_sample_build(SETUP_VANNIX_SAMPLE_UNTYPED midas untyped i686 21.0.17017.3725 NONE
  sample_server.c SAMPLE_BASE=midas)
