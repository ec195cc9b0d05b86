// The operating system's part on Windows: paths are UTF-8 in the program and UTF-16 for the
// system.
#include "platform/files.h"

#include <windows.h>

#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

namespace vrel::platform {
namespace {

std::wstring Wide(const std::string& utf8) {
    if (utf8.empty()) {
        return std::wstring();
    }
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
    return wide;
}

std::string Utf8(const std::wstring& wide) {
    if (wide.empty()) {
        return std::string();
    }
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), n,
                        nullptr, nullptr);
    return utf8;
}

std::string Reason(DWORD error) {
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string reason = text != nullptr ? Utf8(text) : "error " + std::to_string(error);
    LocalFree(text);
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) {
        reason.pop_back();
    }
    return reason;
}

std::string FolderOf(const std::string& path) {
    const auto slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

} // namespace

std::FILE* OpenForReading(const std::string& path) {
    return _wfopen(Wide(path).c_str(), L"rb");
}

int64_t ModifiedTime(std::FILE* file) {
    struct _stat64 st {};
    if (file == nullptr || _fstat64(_fileno(file), &st) != 0) {
        return 0;
    }
    return int64_t{st.st_mtime} * 1000000000;
}

std::string ExecutablePath() {
    std::wstring buffer(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    buffer.resize(n);
    std::string path = Utf8(buffer);
    std::replace(path.begin(), path.end(), '\\', '/'); // the program's paths use '/'
    return path;
}

void PrepareProcess() {}

std::string HostName() {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    if (!GetComputerNameW(name, &size)) {
        return std::string();
    }
    return Utf8(std::wstring(name, size));
}

size_t RaiseOpenFileLimit() {
    return 0; // sockets are not counted against a limit of open files here
}

bool IsTerminal(std::FILE* stream) {
    return _isatty(_fileno(stream)) != 0;
}

bool ProcessAlive(int64_t pid) {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr) {
        return GetLastError() == ERROR_ACCESS_DENIED;
    }
    const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return running;
}

int64_t ProcessId() {
    return static_cast<int64_t>(GetCurrentProcessId());
}

size_t MaxNameBytes(const std::string&) {
    return 255;
}

WriteResult WriteWholeFile(const std::string& path, const std::vector<unsigned char>& bytes,
                           bool replace) {
    static std::atomic<unsigned> counter{0};
    const std::string temp = FolderOf(path) + "\\" + kTemporaryPrefix +
                             std::to_string(ProcessId()) + "-" + std::to_string(counter++);
    const std::wstring wide_temp = Wide(temp);
    HANDLE file = CreateFileW(wide_temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return {WriteStatus::Failed,
                {ErrorCode::Unwritable, "cannot create a file: " + Reason(GetLastError())}};
    }
    size_t done = 0;
    bool ok = true;
    while (ok && done < bytes.size()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 30));
        ok = WriteFile(file, bytes.data() + done, chunk, &written, nullptr) != 0;
        done += written;
    }
    ok = ok && FlushFileBuffers(file) != 0;
    const DWORD write_error = ok ? 0 : GetLastError();
    CloseHandle(file);
    if (!ok) {
        DeleteFileW(wide_temp.c_str());
        return {WriteStatus::Failed,
                {ErrorCode::Unwritable, "cannot write the file: " + Reason(write_error)}};
    }
    SetFileAttributesW(wide_temp.c_str(), FILE_ATTRIBUTE_NORMAL);
    // Without MOVEFILE_REPLACE_EXISTING the move fails when the name is taken, atomically.
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
    if (MoveFileExW(wide_temp.c_str(), Wide(path).c_str(), flags) == 0) {
        const DWORD error = GetLastError();
        DeleteFileW(wide_temp.c_str());
        if (!replace && (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)) {
            return {WriteStatus::NameTaken, {}};
        }
        return {WriteStatus::Failed,
                {ErrorCode::Unwritable, "cannot put the file in place: " + Reason(error)}};
    }
    return {WriteStatus::Written, {}};
}

void UseNamedTemporaryFiles(bool) {} // named temporary files are the only way here

void RemoveStaleTemporaryFiles(const std::string& dir) {
    WIN32_FIND_DATAW found;
    const std::string pattern = dir + "\\" + kTemporaryPrefix + "*";
    HANDLE search = FindFirstFileW(Wide(pattern).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    const size_t prefix = std::strlen(kTemporaryPrefix);
    do {
        const std::string name = Utf8(found.cFileName);
        char* end = nullptr;
        const long long pid = std::strtoll(name.c_str() + prefix, &end, 10);
        if (end != nullptr && *end == '-' && !ProcessAlive(pid)) {
            DeleteFileW(Wide(dir + "\\" + name).c_str());
        }
    } while (FindNextFileW(search, &found) != 0);
    FindClose(search);
}

} // namespace vrel::platform
