// The operating system's part on Linux and other POSIX systems.
#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <system_error>

namespace vrel::platform {
namespace {

std::string Reason(int error) {
    return std::strerror(error);
}

// The folder part of a path ("." for a bare name) and its last component.
void SplitPath(const std::string& path, std::string& dir, std::string& name) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        dir = ".";
        name = path;
    } else {
        dir = slash == 0 ? "/" : path.substr(0, slash);
        name = path.substr(slash + 1);
    }
}

bool WriteAll(int fd, const std::vector<unsigned char>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string TemporaryName(const std::string& dir) {
    static std::atomic<unsigned> counter{0};
    return dir + "/" + kTemporaryPrefix + std::to_string(::getpid()) + "-" +
           std::to_string(counter++);
}

// Opens an unnamed file in dir; -1 where the file system has none (errno tells).
int OpenUnnamed(const std::string& dir) {
#ifdef O_TMPFILE
    return ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
#else
    (void)dir;
    errno = EOPNOTSUPP;
    return -1;
#endif
}

// Gives an unnamed file a name; false with errno set when it cannot.
bool LinkUnnamed(int fd, const std::string& target) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        return true;
    }
#ifdef AT_EMPTY_PATH
    if (errno == ENOENT) { // no /proc: the direct way, where the process may use it
        return ::linkat(fd, "", AT_FDCWD, target.c_str(), AT_EMPTY_PATH) == 0;
    }
#endif
    return false;
}

void SyncFolder(const std::string& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int Get() const { return fd_; }
    // Closes now, reporting a failure that a deferred close would hide.
    bool Close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

WriteResult Failed(const std::string& what, int error) {
    return {WriteStatus::Failed, {ErrorCode::Unwritable, what + ": " + Reason(error)}};
}

// Puts the complete temporary file at temp (which the caller removes afterwards) in place.
WriteResult NameTemporary(const std::string& temp, const std::string& path, bool replace) {
    if (replace) {
        if (::rename(temp.c_str(), path.c_str()) != 0) {
            return Failed("cannot put the file in place", errno);
        }
        return {WriteStatus::Written, {}};
    }
    if (::link(temp.c_str(), path.c_str()) != 0) {
        if (errno == EEXIST) {
            return {WriteStatus::NameTaken, {}};
        }
        return Failed("cannot put the file in place", errno);
    }
    return {WriteStatus::Written, {}};
}

} // namespace

std::FILE* OpenForReading(const std::string& path) {
    return std::fopen(path.c_str(), "rb");
}

int64_t ModifiedTime(std::FILE* file) {
    struct stat st {};
    if (file == nullptr || ::fstat(::fileno(file), &st) != 0) {
        return 0;
    }
    return int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
}

std::string ExecutablePath() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : exe.string();
}

void PrepareProcess() {
    ::signal(SIGXFSZ, SIG_IGN);
}

std::string HostName() {
    char name[256] = "";
    if (::gethostname(name, sizeof name - 1) != 0) {
        return std::string();
    }
    return name;
}

size_t RaiseOpenFileLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return 0;
    }
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) {
            limit = raised;
        }
    }
    return limit.rlim_cur == RLIM_INFINITY ? 0 : static_cast<size_t>(limit.rlim_cur);
}

bool IsTerminal(std::FILE* stream) {
    return ::isatty(::fileno(stream)) == 1;
}

bool ProcessAlive(int64_t pid) {
    if (pid <= 0 || pid != static_cast<pid_t>(pid)) {
        return false;
    }
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

int64_t ProcessId() {
    return ::getpid();
}

size_t MaxNameBytes(const std::string& dir) {
    const long max = ::pathconf(dir.empty() ? "." : dir.c_str(), _PC_NAME_MAX);
    return max > 0 ? static_cast<size_t>(max) : 255;
}

namespace {

std::atomic<bool> named_only{false};

// Through an unnamed file, which a process killed before naming it leaves nothing of. Nothing,
// where this file system or process cannot make or name one: the caller then takes a named
// temporary file.
std::optional<WriteResult> WriteUnnamed(const std::string& dir, const std::string& path,
                                        const std::vector<unsigned char>& bytes, bool replace) {
    Descriptor unnamed(OpenUnnamed(dir));
    if (unnamed.Get() < 0) {
        if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) {
            return std::nullopt;
        }
        // The folder itself is the trouble (missing, read-only, not ours): say so.
        return Failed("cannot create a file in '" + dir + "'", errno);
    }
    if (!WriteAll(unnamed.Get(), bytes)) {
        return Failed("cannot write the file", errno);
    }
    if (::fsync(unnamed.Get()) != 0) {
        return Failed("cannot flush the file", errno);
    }
    if (!replace) {
        if (LinkUnnamed(unnamed.Get(), path)) {
            SyncFolder(dir);
            return WriteResult{WriteStatus::Written, {}};
        }
        if (errno == EEXIST) {
            return WriteResult{WriteStatus::NameTaken, {}};
        }
    } else {
        const std::string temp = TemporaryName(dir);
        if (LinkUnnamed(unnamed.Get(), temp)) {
            const WriteResult named = NameTemporary(temp, path, true);
            ::unlink(temp.c_str());
            if (named.status == WriteStatus::Written) {
                SyncFolder(dir);
            }
            return named;
        }
    }
    if (errno != ENOENT && errno != EPERM && errno != EACCES) {
        return Failed("cannot put the file in place", errno);
    }
    return std::nullopt; // neither way of naming an unnamed file is open to this process
}

// Through a hidden temporary file, named after this process so that a later run can tell
// whether it was left behind.
WriteResult WriteNamed(const std::string& dir, const std::string& path,
                       const std::vector<unsigned char>& bytes, bool replace) {
    const std::string temp = TemporaryName(dir);
    Descriptor named(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (named.Get() < 0) {
        return Failed("cannot create a file in '" + dir + "'", errno);
    }
    WriteResult result;
    if (!WriteAll(named.Get(), bytes)) {
        result = Failed("cannot write the file", errno);
    } else if (::fsync(named.Get()) != 0) {
        result = Failed("cannot flush the file", errno);
    } else if (!named.Close()) {
        result = Failed("cannot close the file", errno);
    } else {
        result = NameTemporary(temp, path, replace);
    }
    ::unlink(temp.c_str());
    if (result.status == WriteStatus::Written) {
        SyncFolder(dir);
    }
    return result;
}

} // namespace

WriteResult WriteWholeFile(const std::string& path, const std::vector<unsigned char>& bytes,
                           bool replace) {
    std::string dir, name;
    SplitPath(path, dir, name);
    if (name.empty()) {
        return Failed("cannot write '" + path + "'", EISDIR);
    }
    if (!named_only) {
        if (auto written = WriteUnnamed(dir, path, bytes, replace)) {
            return *written;
        }
    }
    return WriteNamed(dir, path, bytes, replace);
}

void UseNamedTemporaryFiles(bool named) {
    named_only = named;
}

void RemoveStaleTemporaryFiles(const std::string& dir) {
    DIR* folder = ::opendir(dir.empty() ? "." : dir.c_str());
    if (folder == nullptr) {
        return;
    }
    const size_t prefix = std::strlen(kTemporaryPrefix);
    while (const dirent* entry = ::readdir(folder)) {
        const std::string name = entry->d_name;
        if (name.compare(0, prefix, kTemporaryPrefix) != 0) {
            continue;
        }
        // .vrel-part-<pid>-<n>
        char* end = nullptr;
        const long long pid = std::strtoll(name.c_str() + prefix, &end, 10);
        if (end == nullptr || *end != '-' || ProcessAlive(pid)) {
            continue;
        }
        ::unlink((dir + "/" + name).c_str());
    }
    ::closedir(folder);
}

} // namespace vrel::platform
