# Checks that what is written by hand names the version the build makes (base/version.h):
# the manual pages, the package's changelog, the API description and the deployment examples.
# Run: cmake -DROOT=<source dir> -DVERSION=<version> -P tests/version.cmake
cmake_minimum_required(VERSION 3.16)
set(files packaging/vrel-check.1 packaging/vrel-serve.1 packaging/VrelPictureCheck.1
  packaging/changelog docs/openapi.yaml docs/deploy/kubernetes.yaml docs/deploy/batch-job.yaml
  vcpkg.json README.md)
set(wrong 0)
foreach(file ${files})
  file(READ ${ROOT}/${file} text)
  string(FIND "${text}" "${VERSION}" found)
  if(found EQUAL -1)
    message(SEND_ERROR "${file} does not name version ${VERSION}")
    math(EXPR wrong "${wrong} + 1")
  endif()
endforeach()
if(wrong GREATER 0)
  message(FATAL_ERROR "${wrong} file(s) name another version than ${VERSION}")
endif()
message(STATUS "every file names version ${VERSION}")
