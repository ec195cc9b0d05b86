#pragma once

#include "check/check_run.h"
#include "cli/report.h"

#include <functional>
#include <set>
#include <string>
#include <vector>

namespace vrel {

// True for names ending in .jpg, .jpeg or .jfif, in any letter case.
bool HasPhotoExtension(const std::string& name);

// A folder's photo files (not its subfolders'), sorted by name; any other path as it is.
std::vector<std::string> ExpandPath(const std::string& path);

// Chooses the file names of saved photos: DIR/<stem>.jpg, with -2, -3, ... added to a stem
// already used in this run, so that two inputs never overwrite each other.
class SaveNamer {
public:
    explicit SaveNamer(std::string dir);
    std::string NameFor(const std::string& input_path);

private:
    std::string dir_;
    std::set<std::string> used_;
};

struct BatchSettings {
    CheckSettings check;
    std::string data_dir;
    std::string save_dir; // empty: passed photos are not saved
};

// Reviews each path in turn and hands its record to the sink, in input order.
// Returns true when every photo passed.
bool RunBatch(const std::vector<std::string>& paths, const BatchSettings& settings,
              const std::function<void(const PhotoRecord&)>& sink);

} // namespace vrel
