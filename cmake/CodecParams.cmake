# Cipher key shared with the report server.
#   QUORVANE_SM4_KEY          32 hex digits, the 16 key bytes in order
# Checked here so that a build never carries a key the codec cannot use. The
# value is written to codec_params.h (for the daemon) and to codec_params.txt
# (for the bench kit's report server).
#
# Also runs on its own, to check a key before a build; it then writes
# generated/codec_params.h and codec_params.txt into the current directory:
#   cmake -DQUORVANE_SM4_KEY=<32 hex digits> -P cmake/CodecParams.cmake
if(CMAKE_SCRIPT_MODE_FILE)
  cmake_policy(VERSION 3.25)
endif()

set(QUORVANE_SM4_KEY "0123456789ABCDEFFEDCBA9876543210" CACHE STRING
    "SM4 key of the UDP frame codec: 32 hexadecimal digits")

string(TOUPPER "${QUORVANE_SM4_KEY}" _key)
if(NOT _key MATCHES "^[0-9A-F]+$")
  message(FATAL_ERROR "QUORVANE_SM4_KEY must hold hexadecimal digits only: '${QUORVANE_SM4_KEY}'")
endif()
string(LENGTH "${_key}" _key_len)
if(NOT _key_len EQUAL 32)
  message(FATAL_ERROR "QUORVANE_SM4_KEY must hold exactly 32 hexadecimal digits (has ${_key_len})")
endif()

set(_key_bytes "")
foreach(_i RANGE 0 15)
  math(EXPR _pos "${_i} * 2")
  string(SUBSTRING "${_key}" ${_pos} 2 _byte)
  list(APPEND _key_bytes "0x${_byte}")
endforeach()
list(JOIN _key_bytes ", " QUORVANE_KEY_INIT)

set(QUORVANE_CODEC_DEFAULTS 0)
if(_key STREQUAL "0123456789ABCDEFFEDCBA9876543210")
  set(QUORVANE_CODEC_DEFAULTS 1)
endif()

set(QUORVANE_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
file(MAKE_DIRECTORY ${QUORVANE_GENERATED_DIR})
file(CONFIGURE OUTPUT ${QUORVANE_GENERATED_DIR}/codec_params.h CONTENT
"// Generated at configure time from QUORVANE_SM4_KEY.
#pragma once
#include <cstdint>
#define QUORVANE_CODEC_KEY_INIT {@QUORVANE_KEY_INIT@}
// 1 when it is the built-in default.
#define QUORVANE_CODEC_DEFAULT_PARAMS @QUORVANE_CODEC_DEFAULTS@
" @ONLY)
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/codec_params.txt CONTENT
"key=@_key@
" @ONLY)
