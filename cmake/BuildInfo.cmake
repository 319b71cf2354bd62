# Build facts recorded in every result's diagnostics, captured when the project is configured.
set(OVREL_GIT_SHA "")
find_program(OVREL_GIT git)
if(OVREL_GIT)
  execute_process(
    COMMAND "${OVREL_GIT}" rev-parse --short=12 HEAD
    WORKING_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}"
    OUTPUT_VARIABLE OVREL_GIT_SHA OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE git_rc ERROR_QUIET)
  if(NOT git_rc EQUAL 0 OR NOT OVREL_GIT_SHA MATCHES "^[0-9a-f]+$")
    set(OVREL_GIT_SHA "")
  endif()
endif()

execute_process(
  COMMAND "${CMAKE_CXX_COMPILER}" --version
  OUTPUT_VARIABLE compiler_version_text OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
string(REGEX REPLACE "\n.*" "" OVREL_COMPILER_VERSION "${compiler_version_text}")
if(OVREL_COMPILER_VERSION STREQUAL "")
  set(OVREL_COMPILER_VERSION "${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION}")
endif()

execute_process(
  COMMAND "${CMAKE_CXX_COMPILER}" -dumpmachine
  OUTPUT_VARIABLE OVREL_TARGET_TRIPLE OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(OVREL_TARGET_TRIPLE STREQUAL "")
  set(OVREL_TARGET_TRIPLE "${CMAKE_SYSTEM_PROCESSOR}-${CMAKE_SYSTEM_NAME}")
endif()

if(CMAKE_BUILD_TYPE MATCHES "^(Debug)$")
  set(OVREL_BUILD_PROFILE "debug")
else()
  set(OVREL_BUILD_PROFILE "release")
endif()

configure_file("${CMAKE_CURRENT_LIST_DIR}/build_config.hpp.in"
               "${CMAKE_CURRENT_BINARY_DIR}/generated/ovrel/build_config.hpp" @ONLY)
