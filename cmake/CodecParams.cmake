# Cipher key and substitution table shared with the report server.
#   QUORVANE_SM4_KEY          32 hex digits, the 16 key bytes in order
#   QUORVANE_SUBST_TABLE_FILE a file with the 128 table entries (decimal or 0x hex,
#                             separated by blanks, commas or line ends; '#' starts
#                             a comment); empty = default
# Both are checked here so that a build never carries a key or table the codec
# cannot use. The values are written to codec_params.h (for the daemon) and to
# codec_params.txt (for the bench kit's report server).
#
# Also runs on its own, to check a key or table before a build; it then writes
# generated/codec_params.h and codec_params.txt into the current directory:
#   cmake -DQUORVANE_SUBST_TABLE_FILE=table.txt -P cmake/CodecParams.cmake
if(CMAKE_SCRIPT_MODE_FILE)
  cmake_policy(VERSION 3.25)
endif()

set(QUORVANE_SM4_KEY "0123456789ABCDEFFEDCBA9876543210" CACHE STRING
    "SM4 key of the UDP frame codec: 32 hexadecimal digits")
set(QUORVANE_SUBST_TABLE_FILE "" CACHE FILEPATH
    "File with the 128 entries of the substitution table (empty: built-in default)")

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

set(_table "")
if(QUORVANE_SUBST_TABLE_FILE)
  if(NOT EXISTS "${QUORVANE_SUBST_TABLE_FILE}")
    message(FATAL_ERROR "QUORVANE_SUBST_TABLE_FILE does not exist: ${QUORVANE_SUBST_TABLE_FILE}")
  endif()
  if(NOT CMAKE_SCRIPT_MODE_FILE)
    # An edited table file configures the build again.
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${QUORVANE_SUBST_TABLE_FILE}")
  endif()
  file(READ "${QUORVANE_SUBST_TABLE_FILE}" _text)
  string(REGEX REPLACE "#[^\n]*" "" _text "${_text}")
  string(REGEX REPLACE "[ \t\r\n,]+" ";" _entries "${_text}")
  foreach(_e IN LISTS _entries)
    if(_e STREQUAL "")
      continue()
    endif()
    if(_e MATCHES "^0[xX][0-9a-fA-F]+$" OR _e MATCHES "^[0-9]+$")
      math(EXPR _v "${_e}")
      list(APPEND _table ${_v})
    else()
      message(FATAL_ERROR "Substitution table: '${_e}' is not a number")
    endif()
  endforeach()
else()
  # Default: printable bytes rotate through an affine permutation of the 95
  # printable characters; every other byte maps to itself.
  foreach(_b RANGE 0 127)
    if(_b GREATER_EQUAL 32 AND _b LESS_EQUAL 126)
      math(EXPR _v "32 + ((${_b} - 32) * 7 + 3) % 95")
    else()
      set(_v ${_b})
    endif()
    list(APPEND _table ${_v})
  endforeach()
endif()

list(LENGTH _table _n)
if(NOT _n EQUAL 128)
  message(FATAL_ERROR "Substitution table must hold 128 entries (has ${_n})")
endif()
set(_seen "")
foreach(_b RANGE 0 127)
  list(GET _table ${_b} _v)
  if(_v GREATER 127)
    message(FATAL_ERROR "Substitution table: entry ${_b} is ${_v}, outside 0 to 127")
  endif()
  if(_v IN_LIST _seen)
    message(FATAL_ERROR "Substitution table is not a permutation: ${_v} appears twice")
  endif()
  list(APPEND _seen ${_v})
  set(_src_printable FALSE)
  set(_dst_printable FALSE)
  if(_b GREATER_EQUAL 32 AND _b LESS_EQUAL 126)
    set(_src_printable TRUE)
  endif()
  if(_v GREATER_EQUAL 32 AND _v LESS_EQUAL 126)
    set(_dst_printable TRUE)
  endif()
  if(_src_printable AND NOT _dst_printable)
    message(FATAL_ERROR "Substitution table maps printable ${_b} to non-printable ${_v}")
  endif()
endforeach()

set(_rows "")
foreach(_r RANGE 0 7)
  set(_row "")
  foreach(_c RANGE 0 15)
    math(EXPR _i "${_r} * 16 + ${_c}")
    list(GET _table ${_i} _v)
    list(APPEND _row ${_v})
  endforeach()
  list(JOIN _row ", " _row_text)
  list(APPEND _rows "{${_row_text}}")
endforeach()
list(JOIN _rows ", " QUORVANE_TABLE_INIT)
list(JOIN _table " " QUORVANE_TABLE_TEXT)

set(QUORVANE_CODEC_DEFAULTS 0)
if(_key STREQUAL "0123456789ABCDEFFEDCBA9876543210" AND NOT QUORVANE_SUBST_TABLE_FILE)
  set(QUORVANE_CODEC_DEFAULTS 1)
endif()

set(QUORVANE_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
file(MAKE_DIRECTORY ${QUORVANE_GENERATED_DIR})
file(CONFIGURE OUTPUT ${QUORVANE_GENERATED_DIR}/codec_params.h CONTENT
"// Generated at configure time from QUORVANE_SM4_KEY and QUORVANE_SUBST_TABLE_FILE.
#pragma once
#include <cstdint>
#define QUORVANE_CODEC_KEY_INIT {@QUORVANE_KEY_INIT@}
#define QUORVANE_CODEC_TABLE_INIT {@QUORVANE_TABLE_INIT@}
// 1 when both are the built-in defaults.
#define QUORVANE_CODEC_DEFAULT_PARAMS @QUORVANE_CODEC_DEFAULTS@
" @ONLY)
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/codec_params.txt CONTENT
"key=@_key@
table=@QUORVANE_TABLE_TEXT@
" @ONLY)
