# Turning a MAC-to-serial list into the rows compiled into MACtoSN.

get_filename_component(mactosn_list_tooling_dir "${CMAKE_CURRENT_LIST_DIR}/../data" ABSOLUTE)
set(MACTOSN_ROWS_GENERATOR "${mactosn_list_tooling_dir}/gen_serial_rows.py")
# Every module the generator runs: a change to any of them makes the rows again.
set(MACTOSN_LIST_TOOLING
  "${MACTOSN_ROWS_GENERATOR}"
  "${mactosn_list_tooling_dir}/compare_serial_lists.py"
  "${mactosn_list_tooling_dir}/serial_list.py"
  "${mactosn_list_tooling_dir}/spreadsheet_damage.py")
set(MACTOSN_ROWS_INPUTS_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/SerialRowsInputs.cmake")

# mactosn_bracket(VAR TEXT): TEXT as a CMake bracket argument, read back
# unchanged whatever it holds.
function(mactosn_bracket var text)
  set(equals "")
  while(TRUE)
    string(FIND "${text}]" "]${equals}]" at)
    if(at EQUAL -1)
      break()
    endif()
    string(APPEND equals "=")
  endwhile()
  set(${var} "[${equals}[${text}]${equals}]" PARENT_SCOPE)
endfunction()

# mactosn_serial_rows(NAME LIST [PREVIOUS LIST [ALLOWED FILE]]): checks LIST
# and generates its rows into the build folder, behind the custom target
# mactosn_rows_NAME (properties ROWS_DIR, ROWS_FILE). A refused
# list fails the build with the generator's FILE:LINE messages, and so does,
# given a PREVIOUS list, a MAC of it that LIST drops or changes unless the
# ALLOWED file names it. An empty PREVIOUS or ALLOWED is none. The build
# shows 20 messages of each kind; the report beside the rows holds them all,
# whatever the verdict.
#
# The rows follow the bytes of these files and of MACTOSN_LIST_TOOLING, not
# their times: every build hashes them (mactosn_rows_NAME_inputs), and the
# rows depend on the stamp of those hashes alone.
function(mactosn_serial_rows name list)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "PREVIOUS;ALLOWED" "")
  get_filename_component(list "${list}" ABSOLUTE)
  set(dir "${CMAKE_CURRENT_BINARY_DIR}/serial_rows_${name}")
  set(rows "${dir}/serial_rows.inc")
  set(report "${dir}/list_report.txt")
  set(stamp "${dir}/inputs.sha256")
  # A path is never made a list item: an unmatched "[" in it would swallow
  # the items after it. Each stays a variable of its own, and one quoted
  # argument of the command, which drops the empty ones.
  set(previous "")
  set(previous_option "")
  set(allowed "")
  set(allowed_option "")
  set(comment "Checking ${list} and generating its serial rows")
  if(NOT "${arg_PREVIOUS}" STREQUAL "")
    get_filename_component(previous "${arg_PREVIOUS}" ABSOLUTE)
    set(previous_option --previous)
    set(comment "Checking ${list} against ${previous} and generating its serial rows")
    if(NOT "${arg_ALLOWED}" STREQUAL "")
      get_filename_component(allowed "${arg_ALLOWED}" ABSOLUTE)
      set(allowed_option --allowed)
    endif()
  elseif(NOT "${arg_ALLOWED}" STREQUAL "")
    message(FATAL_ERROR "mactosn_serial_rows(${name}): ALLOWED needs a PREVIOUS list")
  endif()

  # What the stamp is made from, read back by SerialRowsInputs.cmake.
  mactosn_bracket(quoted "${stamp}")
  set(code "set(stamp ${quoted})\n")
  set(count 0)
  foreach(file IN LISTS MACTOSN_LIST_TOOLING)
    math(EXPR count "${count} + 1")
    mactosn_bracket(quoted "${file}")
    string(APPEND code "set(input_${count} ${quoted})\n")
  endforeach()
  foreach(input list previous allowed)
    if(NOT "${${input}}" STREQUAL "")
      math(EXPR count "${count} + 1")
      mactosn_bracket(quoted "${${input}}")
      string(APPEND code "set(input_${count} ${quoted})\n")
    endif()
  endforeach()
  string(APPEND code "set(input_count ${count})\n")
  file(WRITE "${dir}/inputs.cmake" "${code}")
  add_custom_target(mactosn_rows_${name}_inputs
    COMMAND "${CMAKE_COMMAND}" "-DINPUTS=${dir}/inputs.cmake" -P "${MACTOSN_ROWS_INPUTS_SCRIPT}"
    BYPRODUCTS "${stamp}"
    VERBATIM)

  # The previous rows go first, so that a refused list leaves none behind
  # whatever the generator does (`cmake --install` checks for them). -B:
  # the generator imports its modules from the source tree, which must get
  # no __pycache__.
  add_custom_command(
    OUTPUT "${rows}"
    COMMAND "${CMAKE_COMMAND}" -E remove -f "${rows}"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${dir}"
    COMMAND "${Python3_EXECUTABLE}" -B "${MACTOSN_ROWS_GENERATOR}" --report "${report}"
            "${previous_option}" "${previous}" "${allowed_option}" "${allowed}" -- "${list}" "${rows}"
    MAIN_DEPENDENCY "${stamp}"
    BYPRODUCTS "${report}"
    COMMENT "${comment}"
    COMMAND_EXPAND_LISTS
    VERBATIM)
  add_custom_target(mactosn_rows_${name} DEPENDS "${rows}")
  add_dependencies(mactosn_rows_${name} mactosn_rows_${name}_inputs)
  set_target_properties(mactosn_rows_${name} PROPERTIES ROWS_DIR "${dir}" ROWS_FILE "${rows}")
endfunction()

# mactosn_use_rows(TARGET NAME): compiles TARGET, whose source is or includes
# MACtoSN.cpp, against the rows of NAME, and links in the tool's division
# helper, so that the table is filled as the tool fills it.
function(mactosn_use_rows target name)
  get_target_property(dir mactosn_rows_${name} ROWS_DIR)
  add_dependencies(${target} mactosn_rows_${name})
  target_sources(${target} PRIVATE "${PROJECT_SOURCE_DIR}/src/arm_unsigned_divide.S")
  target_include_directories(${target} PRIVATE "${dir}" "${PROJECT_SOURCE_DIR}/src")
  target_compile_features(${target} PRIVATE cxx_std_17)
  set_target_properties(${target} PROPERTIES CXX_EXTENSIONS OFF)
endfunction()

# mactosn_add_tool(TARGET NAME): the tool itself, built with the rows of NAME.
function(mactosn_add_tool target name)
  add_executable(${target} "${PROJECT_SOURCE_DIR}/src/MACtoSN.cpp")
  mactosn_use_rows(${target} ${name})
  # Start-up is the tool's whole latency: a static C++ runtime spares the
  # dynamic loader most of its symbol binding and relocations, and unused
  # sections are dropped so fewer pages are mapped in.
  if(MACTOSN_STATIC_CXX_RUNTIME AND NOT MACTOSN_FULLY_STATIC)
    target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc)
  endif()
  target_compile_options(${target} PRIVATE -ffunction-sections -fdata-sections)
  target_link_options(${target} PRIVATE -Wl,--gc-sections -Wl,--as-needed)
  # The device looks for its own libraries in one place. The build tree gets
  # the same path exactly: CMake's own build path would add an empty entry,
  # which the loader reads as the current directory. A fully static
  # executable loads no library, so it gets no path.
  if(NOT MACTOSN_FULLY_STATIC)
    set_target_properties(${target} PROPERTIES
      BUILD_WITH_INSTALL_RPATH ON
      INSTALL_RPATH "${MACTOSN_RUNPATH}")
  endif()
  # No build folder may leak into the executable, so two builds of the same
  # sources from different folders are byte-identical. Where the packager
  # maps paths of a kind itself (Yocto maps them to its -src package's), its
  # map stays: GCC takes the last matching map, and a target's options come
  # after the packager's flags.
  set(packager_flags "${CMAKE_CXX_FLAGS} ${CMAKE_ASM_FLAGS}")
  foreach(config IN LISTS CMAKE_BUILD_TYPE CMAKE_CONFIGURATION_TYPES)
    string(TOUPPER "${config}" config)
    string(APPEND packager_flags " ${CMAKE_CXX_FLAGS_${config}} ${CMAKE_ASM_FLAGS_${config}}")
  endforeach()
  get_directory_property(directory_options COMPILE_OPTIONS)
  string(APPEND packager_flags " ${directory_options}")
  foreach(kind debug macro)
    if(NOT packager_flags MATCHES "-f(file|${kind})-prefix-map=")
      target_compile_options(${target} PRIVATE
        "-f${kind}-prefix-map=${PROJECT_SOURCE_DIR}=."
        "-f${kind}-prefix-map=${PROJECT_BINARY_DIR}=.")
    endif()
  endforeach()
endfunction()
