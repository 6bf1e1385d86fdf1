# Cross build of the installer image: 32-bit Windows, mingw-w64 from Debian.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# What CMake's ABI probe (a nested build per language, most of a configure run) would find out
# about this known toolchain. Compiler identification and feature detection still run.
foreach(_lang C CXX)
  set(CMAKE_${_lang}_ABI_COMPILED TRUE)
  set(CMAKE_${_lang}_SIZEOF_DATA_PTR 4)
  set(CMAKE_${_lang}_BYTE_ORDER LITTLE_ENDIAN)
endforeach()
