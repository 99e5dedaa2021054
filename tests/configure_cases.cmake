# What a configure of this project decides, each case a configure whose
# output (with -L, the cache) must match PASS and must not match FAIL; a
# space in them also matches where CMake wraps a message.
if(CMAKE_VERSION VERSION_GREATER_EQUAL 3.24)
  set(fresh --fresh)
endif()
function(configure_case name pass)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "FAIL;SOURCE" "")
  if(NOT arg_SOURCE)
    set(arg_SOURCE "${PROJECT_SOURCE_DIR}")
  endif()
  add_test(NAME configure_${name} COMMAND "${CMAKE_COMMAND}" ${fresh} -L -S "${arg_SOURCE}"
           -B "${CMAKE_CURRENT_BINARY_DIR}/configure/${name}" -DBUILD_TESTING=OFF ${arg_UNPARSED_ARGUMENTS})
  string(REPLACE " " "[ \n]+" pass "${pass}")
  set_tests_properties(configure_${name} PROPERTIES LABELS configure PASS_REGULAR_EXPRESSION "${pass}")
  if(arg_FAIL)
    set_tests_properties(configure_${name} PROPERTIES FAIL_REGULAR_EXPRESSION "${arg_FAIL}")
  endif()
endfunction()
set(done "-- Cache values")
set(no "${CMAKE_CURRENT_BINARY_DIR}/configure/no/such.csv")
set(other "${CMAKE_CURRENT_SOURCE_DIR}/data/spreadsheet_export.csv")

# Built on its own, the device's build type and prefix; a packager's or a parent project's stay theirs.
configure_case(defaults "CMAKE_BUILD_TYPE:STRING=Release\n.*CMAKE_INSTALL_PREFIX:PATH=/ZOR/System\n")
configure_case(empty_build_type "CMAKE_BUILD_TYPE:STRING=\n" -DCMAKE_BUILD_TYPE=)
configure_case(multi_config "${done}" FAIL "CMAKE_BUILD_TYPE:STRING=." -G "Ninja Multi-Config")
file(WRITE "${CMAKE_CURRENT_BINARY_DIR}/configure/parent/CMakeLists.txt" "cmake_minimum_required(VERSION 3.16)
project(parent LANGUAGES CXX)\nadd_subdirectory(\"${PROJECT_SOURCE_DIR}\" mactosn)\n")
configure_case(parent "CMAKE_BUILD_TYPE:STRING=\n.*CMAKE_INSTALL_PREFIX:PATH=/usr/local\n"
  SOURCE "${CMAKE_CURRENT_BINARY_DIR}/configure/parent")

# Refusals, each naming what to fix.
configure_case(missing_list "MACTOSN_SERIAL_LIST: no such file: ${no}" -DMACTOSN_SERIAL_LIST=${no})
configure_case(missing_previous "MACTOSN_PREVIOUS_LIST: no such file: ${no}" -DMACTOSN_PREVIOUS_LIST=${no})
configure_case(allowed_alone "MACTOSN_LIST_CHANGES_ALLOWED names changes against a previous list"
  -DMACTOSN_LIST_CHANGES_ALLOWED=${other})
configure_case(old_python "need Python ${MACTOSN_PYTHON_MINIMUM} or newer on the build host; found Python 3[.]5[.]10"
  -DPython3_EXECUTABLE=${CMAKE_CURRENT_SOURCE_DIR}/python3.5)
# A list path holding what CMake or make would misread: each such part once, each option once.
configure_case(path_semicolon "MACTOSN_SERIAL_LIST: the path holds ';', where CMake splits a list"
  "-DMACTOSN_SERIAL_LIST=/a$<SEMICOLON>b.csv")
configure_case(path_backslash "MACTOSN_SERIAL_LIST: the path holds a backslash" "-DMACTOSN_SERIAL_LIST=/a\\b.csv")
configure_case(path_line_end "MACTOSN_SERIAL_LIST: the path holds a line end" "-DMACTOSN_SERIAL_LIST=/a\nb.csv")
configure_case(path_genex "MACTOSN_SERIAL_LIST: the path holds '[$]<'" "-DMACTOSN_SERIAL_LIST=/$<1:$><x>.csv")
configure_case(path_make_variable "MACTOSN_PREVIOUS_LIST: the path holds '[$][(]'" "-DMACTOSN_PREVIOUS_LIST=/$(x).csv")
configure_case(path_allowed "MACTOSN_LIST_CHANGES_ALLOWED: the path holds ';'"
  "-DMACTOSN_LIST_CHANGES_ALLOWED=/a$<SEMICOLON>b.csv")

# A list other than the stand-in gets one warning without the last release's list, none with it.
configure_case(unguarded "CMake Warning.*MACTOSN_PREVIOUS_LIST is empty, so.* a row it drops, or a serial it changes, goes unnoticed"
  FAIL "CMake Warning.*CMake Warning" -DMACTOSN_SERIAL_LIST=${other})
configure_case(guarded "${done}" FAIL "CMake Warning" -DMACTOSN_SERIAL_LIST=${other} -DMACTOSN_PREVIOUS_LIST=${other})
file(CREATE_LINK "${MACTOSN_BUNDLED_LIST}" "${CMAKE_CURRENT_BINARY_DIR}/configure/standin.csv" SYMBOLIC)
configure_case(standin_linked "${done}" FAIL "CMake Warning"
  -DMACTOSN_SERIAL_LIST=${CMAKE_CURRENT_BINARY_DIR}/configure/standin.csv)

# A vendor's toolchain file, a cross compiler and no emulator: only the build host's tests are registered.
file(WRITE "${CMAKE_CURRENT_BINARY_DIR}/configure/vendor.cmake"
  "set(CMAKE_SYSTEM_NAME Linux)\nset(CMAKE_SYSTEM_PROCESSOR arm)\nset(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)\n")
configure_case(no_emulator "No CMAKE_CROSSCOMPILING_EMULATOR: the tests that run arm executables are not registered"
  FAIL "No CMAKE_CROSSCOMPILING_EMULATOR.*No CMAKE_CROSSCOMPILING_EMULATOR"
  -DCMAKE_TOOLCHAIN_FILE=${CMAKE_CURRENT_BINARY_DIR}/configure/vendor.cmake -DBUILD_TESTING=ON)
set_tests_properties(configure_no_emulator PROPERTIES FIXTURES_SETUP no_emulator)
add_test(NAME configure_no_emulator_tests COMMAND "${CMAKE_CTEST_COMMAND}" -N --test-dir configure/no_emulator)
set_tests_properties(configure_no_emulator_tests PROPERTIES LABELS configure FIXTURES_REQUIRED no_emulator
  PASS_REGULAR_EXPRESSION "#1: generator\n.*#2: standin_list\n.*#3: glibc_floor\n\nTotal Tests: 3\n")
