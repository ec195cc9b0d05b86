// Parses arbitrary text as a settings file, with its warnings, now and then through a real
// file.
#include "check/settings.h"
#include "check/settings_warnings.h"
#include "report/messages.h"

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

struct TempFile {
    std::string path;
    TempFile() {
        const char* tmp = std::getenv("TMPDIR");
        path = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
               "/vrel-fuzz-settings-XXXXXX";
        const int fd = mkstemp(path.data());
        if (fd < 0) {
            std::perror("mkstemp");
            std::abort();
        }
        ::close(fd);
    }
    ~TempFile() { std::remove(path.c_str()); }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    vrel::ParseCheckSettings(text);
    for (const vrel::SettingsWarning& warning : vrel::SettingsWarnings(text)) {
        (void)vrel::WarningLine(warning);
        (void)vrel::SettingsWarningText(warning);
    }
    (void)vrel::ReadSettingsProfile(text);
    (void)vrel::SettingsFaultText(text);

    static unsigned calls = 0;
    if (++calls % 16 != 0) {
        return 0;
    }
    static TempFile file;
    std::FILE* f = std::fopen(file.path.c_str(), "wb");
    if (f == nullptr || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) {
        std::perror(file.path.c_str());
        std::abort();
    }
    const auto read = vrel::ReadCheckSettingsFile(file.path);
    if (!read) {
        std::fprintf(stderr, "settings file written but not read back\n");
        std::abort();
    }
    return 0;
}
