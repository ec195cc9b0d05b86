# Checks that each folder includes only the folders below it: a wrong include, say serve/
# including cli/, or check/ including report/, fails with the file and the header it names.
# Run: cmake -DROOT=<source dir> -P tests/layering.cmake
cmake_minimum_required(VERSION 3.16)
# base/ (the error type) lies below everything and every folder may use it.
set(layers
  "base:"
  "platform:"
  "networks:"
  "landmarks:networks"
  "quality:networks landmarks"
  "scenes:"
  "view:"
  "workers:"
  "check:platform networks landmarks quality"
  "output:platform networks check"
  "correct:platform networks landmarks quality check output"
  "fingerprint:platform networks landmarks quality check output correct"
  "report:platform networks landmarks quality check output correct fingerprint"
  "decisions:platform networks landmarks quality check output correct fingerprint"
  "setup:platform networks landmarks quality check output correct fingerprint report"
  "cli:platform networks landmarks quality check output correct fingerprint decisions report setup workers"
  "serve:platform networks landmarks quality check output correct fingerprint report setup workers"
  "app:platform networks landmarks quality check output correct fingerprint report setup view"
  "bench:platform networks landmarks quality check output correct fingerprint decisions report setup cli serve view app scenes"
  "fuzz:platform networks landmarks quality check output correct fingerprint decisions report setup cli serve scenes"
  "tools:platform networks landmarks quality check output correct fingerprint report setup app view scenes")
set(folders)
foreach(layer ${layers})
  string(REGEX REPLACE ":.*" "" folder "${layer}")
  list(APPEND folders ${folder})
endforeach()
list(APPEND folders tests)

set(wrong 0)
foreach(layer ${layers})
  string(REGEX REPLACE ":.*" "" folder "${layer}")
  string(REGEX REPLACE "^[^:]*:" "" allowed "${layer}")
  separate_arguments(allowed UNIX_COMMAND "${allowed}")
  list(APPEND allowed ${folder} base)
  file(GLOB_RECURSE sources RELATIVE ${ROOT} ${ROOT}/${folder}/*.h ${ROOT}/${folder}/*.cpp)
  foreach(source ${sources})
    file(STRINGS ${ROOT}/${source} includes REGEX "^[ \t]*#[ \t]*include[ \t]+\"[^\"]+\"")
    foreach(line ${includes})
      string(REGEX REPLACE "^[^\"]*\"([^\"]+)\".*" "\\1" header "${line}")
      string(REGEX MATCH "^[^/]+" top "${header}")
      if(header MATCHES "/" AND top IN_LIST folders AND NOT top IN_LIST allowed)
        message(SEND_ERROR "${source} includes ${header}: ${folder}/ may use only: ${allowed}")
        math(EXPR wrong "${wrong} + 1")
      endif()
    endforeach()
  endforeach()
endforeach()
if(wrong GREATER 0)
  message(FATAL_ERROR "${wrong} include(s) across the layers")
endif()
message(STATUS "every folder includes only the folders below it")
