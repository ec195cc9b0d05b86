#pragma once

#include "base/error.h"

#include <cstddef>
#include <set>
#include <string>
#include <vector>

namespace vrel {

// Writes files into one folder under names made from their inputs' names: DIR/<stem><ext>, or
// with -2, -3, ... added where the name is taken. A file that is already there, from an
// earlier run or from another process writing into the folder at the same moment, is never
// replaced (unless replacing is asked for), and each name is claimed in the same step that
// writes the file, so that no two writers can both take it. Names are kept within what the
// file system allows.
class OutputFolder {
public:
    OutputFolder(std::string dir, std::string extension, bool replace = false);

    struct Written {
        std::string path; // where the file went; empty on failure
        Error error;      // the system's reason, on failure
        bool Ok() const { return !error; }
    };
    Written Write(const std::string& input_path, const std::vector<unsigned char>& bytes);

    // The name a stem gets with the n-th suffix (1: none), shortened to fit max_bytes.
    static std::string NameFor(const std::string& stem, int n, const std::string& extension,
                               size_t max_bytes);

private:
    std::string dir_;
    std::string extension_;
    bool replace_;
    size_t max_name_bytes_;
    std::set<std::string> used_; // names this folder gave out in this run
};

// The stem of a file name as the output names use it: its name without the extension, "photo"
// where nothing usable is left.
std::string OutputStem(const std::string& input_path);

} // namespace vrel
