#pragma once

#include <cstddef>
#include <string_view>

namespace vrel::serve {

// A file built into the binary: the web page, its assets and the tip pictures.
struct Asset {
    const char* path; // as requested: "/", "/app.js", "/tips/state6.jpg"
    const char* content_type;
    const unsigned char* data;
    size_t size;
};

// The asset of a request path, or nullptr: no path from a request ever reaches the file system.
const Asset* FindAsset(std::string_view path);
// Every asset: count of them from the first.
const Asset* AllAssets(size_t& count);

} // namespace vrel::serve
