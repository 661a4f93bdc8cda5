# Runs cmake/CodecParams.cmake on its own with good and bad keys and table files
# and checks that every bad one is refused and the good ones reach the header.
#   cmake -DSOURCE_DIR=<source> -DWORK_DIR=<scratch> -P codec_params_check.cmake
cmake_minimum_required(VERSION 3.25)

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
set(_failures 0)

# Runs the check with the given -D options; expect PASS or the error text.
function(check name expect)
  set(dir "${WORK_DIR}/${name}")
  file(MAKE_DIRECTORY "${dir}")
  execute_process(COMMAND ${CMAKE_COMMAND} ${ARGN} -P "${SOURCE_DIR}/cmake/CodecParams.cmake"
                  WORKING_DIRECTORY "${dir}" RESULT_VARIABLE rc ERROR_VARIABLE err
                  OUTPUT_QUIET)
  if(expect STREQUAL "PASS")
    if(NOT rc EQUAL 0)
      message(SEND_ERROR "${name}: refused but should pass:\n${err}")
    endif()
  elseif(rc EQUAL 0)
    message(SEND_ERROR "${name}: accepted but should be refused")
  elseif(NOT err MATCHES "${expect}")
    message(SEND_ERROR "${name}: refused for another reason:\n${err}")
  endif()
  set(header "${dir}/generated/codec_params.h" PARENT_SCOPE)
endfunction()

# A table file from a list of 128 values.
function(write_table name values)
  list(JOIN values " " text)
  file(WRITE "${WORK_DIR}/${name}.txt" "# test table\n${text}\n")
endfunction()

set(identity "")
foreach(b RANGE 0 127)
  list(APPEND identity ${b})
endforeach()

# Defaults: the documented key and the affine table (row 2 starts 0x20 -> 35, 0x21 -> 42).
check(defaults PASS)
file(READ "${header}" text)
if(NOT text MATCHES "KEY_INIT \\{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10\\}"
   OR NOT text MATCHES "\\}, \\{35, 42, 49, " OR NOT text MATCHES "DEFAULT_PARAMS 1")
  message(SEND_ERROR "defaults: unexpected header:\n${text}")
endif()

# A custom key and a custom table (identity, in hex, commas) reach the header.
set(hex_identity "")
foreach(b RANGE 0 127)
  math(EXPR h "${b}" OUTPUT_FORMAT HEXADECIMAL)
  list(APPEND hex_identity "${h},")
endforeach()
write_table(identity_hex "${hex_identity}")
check(custom PASS -DQUORVANE_SM4_KEY=00112233445566778899aabbccddeeff
      -DQUORVANE_SUBST_TABLE_FILE=${WORK_DIR}/identity_hex.txt)
file(READ "${header}" text)
if(NOT text MATCHES "KEY_INIT \\{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA"
   OR NOT text MATCHES "\\{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15\\}, \\{16,"
   OR NOT text MATCHES "DEFAULT_PARAMS 0")
  message(SEND_ERROR "custom: unexpected header:\n${text}")
endif()

check(key_short "exactly 32" -DQUORVANE_SM4_KEY=0123456789ABCDEF)
check(key_not_hex "hexadecimal digits only" -DQUORVANE_SM4_KEY=0123456789ABCDEFFEDCBA987654321G)

set(t ${identity})
list(REMOVE_AT t 127)
write_table(too_few "${t}")
check(too_few "128 entries" -DQUORVANE_SUBST_TABLE_FILE=${WORK_DIR}/too_few.txt)

set(t ${identity})
list(REMOVE_AT t 66)
list(INSERT t 66 65)
write_table(duplicate "${t}")
check(duplicate "not a permutation" -DQUORVANE_SUBST_TABLE_FILE=${WORK_DIR}/duplicate.txt)

set(t ${identity})
list(REMOVE_AT t 5)
list(INSERT t 5 200)
write_table(too_big "${t}")
check(too_big "outside 0 to 127" -DQUORVANE_SUBST_TABLE_FILE=${WORK_DIR}/too_big.txt)

# A permutation that swaps 'A' with a control byte maps printable to non-printable.
set(t ${identity})
list(REMOVE_AT t 65)
list(INSERT t 65 7)
list(REMOVE_AT t 7)
list(INSERT t 7 65)
write_table(unprintable "${t}")
check(unprintable "printable 65 to non-printable 7"
      -DQUORVANE_SUBST_TABLE_FILE=${WORK_DIR}/unprintable.txt)

file(WRITE "${WORK_DIR}/word.txt" "1 2 three\n")
check(not_number "'three' is not a number" -DQUORVANE_SUBST_TABLE_FILE=${WORK_DIR}/word.txt)
check(missing "does not exist" -DQUORVANE_SUBST_TABLE_FILE=${WORK_DIR}/nowhere.txt)
