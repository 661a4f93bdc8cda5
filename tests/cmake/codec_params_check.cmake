# Runs cmake/CodecParams.cmake on its own with good and bad keys and checks that
# every bad one is refused and the good ones reach the header.
#   cmake -DSOURCE_DIR=<source> -DWORK_DIR=<scratch> -P codec_params_check.cmake
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE "${WORK_DIR}")

# name|expected|-D options; expected: PASS@<texts the header must hold, @-separated>, or the
# refusal's text.
set(cases
  "defaults|PASS@KEY_INIT \\{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10\\}@DEFAULT_PARAMS 1|"
  "custom|PASS@KEY_INIT \\{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA@DEFAULT_PARAMS 0|-DQUORVANE_SM4_KEY=00112233445566778899aabbccddeeff"
  "key_short|exactly 32|-DQUORVANE_SM4_KEY=0123456789ABCDEF"
  "key_not_hex|hexadecimal digits only|-DQUORVANE_SM4_KEY=0123456789ABCDEFFEDCBA987654321G")
foreach(case IN LISTS cases)
  string(REPLACE "|" ";" fields "${case}")
  list(GET fields 0 name)
  list(GET fields 1 expect)
  list(GET fields 2 options)
  separate_arguments(options)
  set(dir "${WORK_DIR}/${name}")
  file(MAKE_DIRECTORY "${dir}")
  execute_process(COMMAND ${CMAKE_COMMAND} ${options} -P "${SOURCE_DIR}/cmake/CodecParams.cmake"
                  WORKING_DIRECTORY "${dir}" RESULT_VARIABLE rc ERROR_VARIABLE err OUTPUT_QUIET)
  if(NOT expect MATCHES "^PASS" AND (rc EQUAL 0 OR NOT err MATCHES "${expect}"))
    message(SEND_ERROR "${name}: not refused for \"${expect}\" (status ${rc}):\n${err}")
  elseif(expect MATCHES "^PASS" AND NOT rc EQUAL 0)
    message(SEND_ERROR "${name}: refused but should pass:\n${err}")
  elseif(expect MATCHES "^PASS")
    file(READ "${dir}/generated/codec_params.h" header)
    string(REPLACE "@" ";" texts "${expect}")
    list(REMOVE_AT texts 0)
    foreach(text IN LISTS texts)
      if(NOT header MATCHES "${text}")
        message(SEND_ERROR "${name}: the header lacks ${text}:\n${header}")
      endif()
    endforeach()
  endif()
endforeach()
