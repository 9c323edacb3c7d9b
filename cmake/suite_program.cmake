# suite_program(NAME LESSON "one line" [SERIAL])
#
# Declares one program of the suite: an executable NAME built from NAME.cpp in the
# calling folder, linked to the OpenMP runtime unless SERIAL is given (then it is built
# with no OpenMP flag and links no OpenMP library), installed into bin/, and recorded
# with its folder and lesson in the manifest that the tour and the tests read.

set(SUITE_SANITIZE "" CACHE STRING
    "Sanitizers for the programs, e.g. thread or address,undefined (empty: none)")

function(suite_program name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "SERIAL" "LESSON" "")
  if(NOT arg_LESSON)
    message(FATAL_ERROR "suite_program(${name}): LESSON is required")
  endif()

  add_executable(${name} ${name}.cpp)
  target_compile_options(${name} PRIVATE -Wall -Wextra -Wpedantic)
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
  set(rows "")
  foreach(name IN LISTS programs)
    get_property(folder GLOBAL PROPERTY SUITE_FOLDER_${name})
    get_property(lesson GLOBAL PROPERTY SUITE_LESSON_${name})
    string(APPEND rows
           "${name}\t${folder}\t$<TARGET_FILE:${name}>\t${folder}/${name}.cpp\t${lesson}\n")
  endforeach()
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/programs.tsv CONTENT "${rows}")
endfunction()
