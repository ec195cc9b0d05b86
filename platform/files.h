#pragma once

// The operating system's part: opening files by their UTF-8 names, writing files so that they
// appear whole or not at all, the program's own path and whether a stream is a terminal. One
// source file per system implements it; everything else uses standard C++ only.

#include "base/error.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace vrel::platform {

// Opens a file for binary reading; nullptr with errno set when it cannot be opened.
std::FILE* OpenForReading(const std::string& path);

// When an open file was last changed, in nanoseconds since 1970 (whole seconds where the system
// keeps no finer time); 0 where it cannot be told.
int64_t ModifiedTime(std::FILE* file);

// The full path of the running executable, empty when the system does not tell.
std::string ExecutablePath();

// Settles how the process meets the system: a file-size limit then makes a write fail with its
// reason instead of ending the process. Called once at the start of each program.
void PrepareProcess();

// Raises the number of files (and sockets) the process may hold open to the most the system
// allows it, and returns that number; 0 where the system sets no such limit.
size_t RaiseOpenFileLimit();

// The machine's name, empty when the system does not tell.
std::string HostName();

// True when the stream is an interactive terminal.
bool IsTerminal(std::FILE* stream);

// Whether a process with this id is running (stale temporary files are told apart by it).
bool ProcessAlive(int64_t pid);
int64_t ProcessId();

// The longest file name (one path component) that the folder's file system takes, in bytes.
size_t MaxNameBytes(const std::string& dir);

enum class WriteStatus {
    Written,
    NameTaken, // only without replacing: another file already has the name
    Failed,
};

struct WriteResult {
    WriteStatus status = WriteStatus::Failed;
    Error error; // Unwritable, with the system's reason ("No space left on device"), on failure
};

// Writes bytes to path so that the file appears complete or not at all: the bytes go to an
// unnamed (or hidden temporary) file in the same folder, are flushed to the disk, and only then
// get the name. Without replace, a name that is already taken is never replaced: the result is
// NameTaken and nothing is written, however many processes write into the folder at once. With
// replace, an existing file is replaced atomically; a failure keeps it as it was.
WriteResult WriteWholeFile(const std::string& path, const std::vector<unsigned char>& bytes,
                           bool replace);

// For tests: writes through hidden named temporary files, the way taken where a file system
// has no unnamed files, even where it has.
void UseNamedTemporaryFiles(bool named);

// Removes temporary files that WriteWholeFile left in dir when its process was killed; those of
// running processes are left alone.
void RemoveStaleTemporaryFiles(const std::string& dir);

// The name prefix of those temporary files.
inline constexpr const char* kTemporaryPrefix = ".vrel-part-";

} // namespace vrel::platform
