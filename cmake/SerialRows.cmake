# Turning a MAC-to-serial list into the rows compiled into MACtoSN.

get_filename_component(mactosn_list_tooling_dir "${CMAKE_CURRENT_LIST_DIR}/../data" ABSOLUTE)
set(MACTOSN_ROWS_GENERATOR "${mactosn_list_tooling_dir}/gen_serial_rows.py")

# mactosn_serial_rows(NAME LIST [PREVIOUS LIST [ALLOWED FILE]]): checks LIST
# and generates its rows into the build folder, behind the custom target
# mactosn_rows_NAME (properties ROWS_DIR, GENERATED_FILE, REPORT_FILE). A
# refused list fails the build with the generator's FILE:LINE messages, and
# so does, given a PREVIOUS list, a MAC of it that LIST drops or changes
# unless the ALLOWED file names it. An empty PREVIOUS or ALLOWED is none.
# The build shows 20 messages of each kind; the report beside the rows holds
# them all, whatever the verdict.
#
# The rows follow the bytes of the lists and of the list tooling, not file
# times, which `cp -p`, unzip and a re-pointed symlink leave old: every build
# generates them afresh and copies them over the rows only where they
# differ, so an unchanged list recompiles nothing. The generated file exists
# only after a run that passed, which is what `cmake --install` asks.
function(mactosn_serial_rows name list)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "PREVIOUS;ALLOWED" "")
  get_filename_component(list "${list}" ABSOLUTE)
  set(dir "${CMAKE_CURRENT_BINARY_DIR}/serial_rows_${name}")
  set(rows "${dir}/serial_rows.inc")
  set(generated "${rows}.new")
  set(report "${dir}/list_report.txt")
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

  # -B: the generator imports its modules from the source tree, which must
  # get no __pycache__.
  add_custom_target(mactosn_rows_${name}
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${dir}"
    COMMAND "${CMAKE_COMMAND}" -E remove -f "${generated}"
    COMMAND "${Python3_EXECUTABLE}" -B "${MACTOSN_ROWS_GENERATOR}" --report "${report}"
            "${previous_option}" "${previous}" "${allowed_option}" "${allowed}" -- "${list}" "${generated}"
    COMMAND "${CMAKE_COMMAND}" -E copy_if_different "${generated}" "${rows}"
    BYPRODUCTS "${rows}" "${generated}" "${report}"
    COMMENT "${comment}"
    COMMAND_EXPAND_LISTS
    VERBATIM)
  set_target_properties(mactosn_rows_${name} PROPERTIES
    ROWS_DIR "${dir}" GENERATED_FILE "${generated}" REPORT_FILE "${report}")
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
