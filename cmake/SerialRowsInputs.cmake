# cmake -DINPUTS=FILE -P SerialRowsInputs.cmake: records the path and the
# SHA-256 of each file the rows are made from in the stamp that FILE names,
# and rewrites the stamp only when that record changes. Its time then moves
# only with the files' bytes (or paths), which file times alone do not
# follow: `cp -p`, `tar x` and a re-pointed symlink all keep an old one.
#
# FILE, written by the configure, sets `stamp`, `input_count` and, for each
# N from 1, `input_N` (a path): a variable each, not a list, whose items a
# path could split (";") or swallow the rest of (an unmatched "[").

cmake_policy(VERSION 3.16)
if(NOT INPUTS)
  message(FATAL_ERROR "usage: cmake -DINPUTS=FILE -P SerialRowsInputs.cmake")
endif()
include("${INPUTS}")

set(record "")
foreach(n RANGE 1 ${input_count})
  set(file "${input_${n}}")
  # A file gone missing is recorded as such, and so is one this user cannot
  # read (EXISTS asks for read access): the generator then runs and says so
  # at the file, and the old rows go, so install refuses.
  if(EXISTS "${file}" AND NOT IS_DIRECTORY "${file}")
    file(SHA256 "${file}" digest)
  else()
    set(digest "missing")
  endif()
  string(APPEND record "${digest} ${file}\n")
endforeach()

set(old "")
if(EXISTS "${stamp}")
  file(READ "${stamp}" old)
endif()
if(NOT old STREQUAL record)
  file(WRITE "${stamp}" "${record}")
endif()
