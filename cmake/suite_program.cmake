# suite_program(NAME LESSON "one line" [SERIAL] [OPTIONS compile-option...])
#
# Declares one program of the suite: an executable NAME built from NAME.cpp in the
# calling folder, linked to the OpenMP runtime unless SERIAL is given (then it is built
# with no OpenMP flag and links no OpenMP library), linked to the check that its output
# was written, installed into bin/, and recorded with its folder and lesson in the
# manifest that the tour and the tests read. OPTIONS are compile options of its own.

set(SUITE_SANITIZE "" CACHE STRING
    "Sanitizers for the programs, e.g. thread or address,undefined (empty: none)")

if(SUITE_SANITIZE)
  include(CheckCXXSourceCompiles)
  set(CMAKE_REQUIRED_FLAGS -fsanitize=${SUITE_SANITIZE})
  set(CMAKE_REQUIRED_LINK_OPTIONS -fsanitize=${SUITE_SANITIZE})
  string(MAKE_C_IDENTIFIER "SUITE_CAN_SANITIZE_${SUITE_SANITIZE}" can_sanitize)
  check_cxx_source_compiles("int main() { return 0; }" ${can_sanitize})
  unset(CMAKE_REQUIRED_FLAGS)
  unset(CMAKE_REQUIRED_LINK_OPTIONS)
  if(NOT ${can_sanitize})
    message(FATAL_ERROR "${CMAKE_CXX_COMPILER} cannot build with -fsanitize=${SUITE_SANITIZE}: "
                        "install its sanitizer runtime (for clang 14 on Debian or Ubuntu: "
                        "apt-get install libclang-rt-14-dev)")
  endif()
endif()

# The timeline build (./tour --timeline): every program linked to the suite's recorder,
# its atomic operations and memory accesses compiled into calls the recorder implements
# (clang's ThreadSanitizer pass, without its function entries and memory intrinsics; the
# sanitizer's own runtime is not linked), with line tables, so that the recorder's code
# addresses name lines of the source.
option(SUITE_TIMELINE "Link every program to the timeline recorder (clang only)" OFF)
if(SUITE_TIMELINE AND NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "SUITE_TIMELINE needs clang and LLVM's OpenMP runtime: "
                      "install clang libomp-dev and use the timeline preset")
endif()
set(SUITE_TIMELINE_OPTIONS -fsanitize=thread -gline-tables-only
    "SHELL:-mllvm -tsan-instrument-func-entry-exit=0"
    "SHELL:-mllvm -tsan-instrument-memintrinsics=0")

# A tree of ./tour --check declares one program only. The tree builds the test harness
# and what the program links with; the student's file itself is compiled by the check,
# in its sandbox, with this target's commands, and never in the tree. The timeline's tree
# (./tour --timeline, run by a student on their own file) builds it from
# SUITE_CHECK_SOURCE.
set(SUITE_CHECK_PROGRAM "" CACHE STRING "Declare only this program (./tour --check)")
set(SUITE_CHECK_SOURCE "" CACHE FILEPATH "The source SUITE_CHECK_PROGRAM is built from")

function(suite_program name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "SERIAL" "LESSON" "OPTIONS")
  if(NOT arg_LESSON)
    message(FATAL_ERROR "suite_program(${name}): LESSON is required")
  endif()
  if(SUITE_CHECK_PROGRAM AND NOT name STREQUAL SUITE_CHECK_PROGRAM)
    return()
  endif()
  set(source ${name}.cpp)
  if(SUITE_CHECK_PROGRAM AND SUITE_CHECK_SOURCE)
    set(source ${SUITE_CHECK_SOURCE})
  endif()

  add_executable(${name} ${source})
  target_compile_options(${name} PRIVATE -Wall -Wextra -Wpedantic ${arg_OPTIONS})
  target_link_libraries(${name} PRIVATE suite_stdout_check)
  if(SUITE_TIMELINE)
    # Linked before the OpenMP runtime: the recorder's loop-scheduling entry points and
    # output calls come first in the lookup order, and forward to the real ones.
    target_link_libraries(${name} PRIVATE suite_timeline)
    if(NOT arg_SERIAL)
      target_compile_options(${name} PRIVATE ${SUITE_TIMELINE_OPTIONS})
    endif()
  endif()
  if(NOT arg_SERIAL)
    target_link_libraries(${name} PRIVATE OpenMP::OpenMP_CXX)
  endif()
  if(SUITE_SANITIZE)
    # Any report ends the program with a failure status, so a test cannot miss it.
    target_compile_options(${name} PRIVATE -fsanitize=${SUITE_SANITIZE}
                           -fno-sanitize-recover=all -fno-omit-frame-pointer -g)
    target_link_options(${name} PRIVATE -fsanitize=${SUITE_SANITIZE})
  endif()
  install(TARGETS ${name} RUNTIME DESTINATION bin)

  cmake_path(GET CMAKE_CURRENT_SOURCE_DIR FILENAME folder)
  set_property(GLOBAL APPEND PROPERTY SUITE_PROGRAMS ${name})
  set_property(GLOBAL PROPERTY SUITE_FOLDER_${name} ${folder})
  set_property(GLOBAL PROPERTY SUITE_LESSON_${name} "${arg_LESSON}")
endfunction()

# Writes <build>/programs.tsv: one line per program, in declaration order, with
# name, folder, path of the built executable, source file and lesson.
function(suite_write_manifest)
  get_property(programs GLOBAL PROPERTY SUITE_PROGRAMS)
  if(SUITE_CHECK_PROGRAM AND NOT programs)
    message(FATAL_ERROR "SUITE_CHECK_PROGRAM: no program called '${SUITE_CHECK_PROGRAM}'")
  endif()
  set(rows "")
  foreach(name IN LISTS programs)
    get_property(folder GLOBAL PROPERTY SUITE_FOLDER_${name})
    get_property(lesson GLOBAL PROPERTY SUITE_LESSON_${name})
    string(APPEND rows
           "${name}\t${folder}\t$<TARGET_FILE:${name}>\t${folder}/${name}.cpp\t${lesson}\n")
  endforeach()
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/programs.tsv CONTENT "${rows}")
endfunction()
