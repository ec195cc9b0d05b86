# Writes a C++ source that holds files as byte arrays, for serving them without touching the
# file system. Run with cmake -P and:
#   -DOUTPUT=<file.cpp>
#   -DLIST=<file> with one line per asset: <url path>|<content type>|<file>
#   -DHEADER=<header declaring Asset and the functions> (default serve/assets.h)
#   -DNAMESPACE=<its namespace> (default vrel::serve)
if(NOT HEADER)
  set(HEADER serve/assets.h)
endif()
if(NOT NAMESPACE)
  set(NAMESPACE vrel::serve)
endif()
file(STRINGS "${LIST}" ASSETS)
set(body "")
set(table "")
set(index 0)
foreach(asset ${ASSETS})
  string(REPLACE "|" ";" parts "${asset}")
  list(GET parts 0 url)
  list(GET parts 1 type)
  list(GET parts 2 file)
  if(type MATCHES "^text/")
    string(APPEND type "; charset=utf-8")
  endif()
  file(READ "${file}" hex HEX)
  string(LENGTH "${hex}" length)
  math(EXPR size "${length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "((0x..,){24})" "\\1\n" bytes "${bytes}")
  string(APPEND body "const unsigned char kAsset${index}[] = {\n${bytes}\n};\n")
  string(APPEND table "    {\"${url}\", \"${type}\", kAsset${index}, ${size}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE "${OUTPUT}.tmp" "// Made by cmake/embed_assets.cmake from the files it names; do not edit.
#include \"${HEADER}\"

namespace ${NAMESPACE} {
namespace {

${body}
const Asset kAssets[] = {
${table}};

} // namespace

const Asset* FindAsset(std::string_view path) {
    for (const Asset& asset : kAssets) {
        if (path == asset.path) {
            return &asset;
        }
    }
    return nullptr;
}

const Asset* AllAssets(size_t& count) {
    count = sizeof kAssets / sizeof kAssets[0];
    return kAssets;
}

} // namespace ${NAMESPACE}
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
