#pragma once

#include <cstddef>
#include <string_view>

namespace vrel::report_web {

// A file of the batch report's page, built into the program: index.html, report.js, report.css.
struct Asset {
    const char* path; // its name in the report folder, with a leading '/'
    const char* content_type;
    const unsigned char* data;
    size_t size;
};

const Asset* FindAsset(std::string_view path);
// Every asset: count of them from the first.
const Asset* AllAssets(size_t& count);

} // namespace vrel::report_web
