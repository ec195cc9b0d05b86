// Reviews arbitrary bytes as a photo file with the shipped settings, and saves what passes.
#include "check/check_run.h"
#include "check/settings.h"
#include "output/photo_writer.h"

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

struct Scratch {
    std::string dir, in, out;
    Scratch() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vrel-fuzz-review-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        dir = pattern;
        in = dir + "/in.jpg";
        out = dir + "/out.jpg";
    }
    ~Scratch() {
        std::remove(in.c_str());
        std::remove(out.c_str());
        ::rmdir(dir.c_str());
    }
};

vrel::CheckSettings Shipped(int cast) {
    auto settings = vrel::ReadCheckSettingsFile(VREL_SOURCE_DIR "/data/setting.vr");
    if (!settings) {
        std::fprintf(stderr, "cannot read " VREL_SOURCE_DIR "/data/setting.vr\n");
        std::abort();
    }
    settings->cast = cast;
    return *settings;
}

// The detector is shared between reviews; the kept file buffer and decoded image of the batch
// reviewer are exercised by one of the two reviewers.
vrel::ReviewOptions Options(bool reuse_buffers) {
    vrel::ReviewOptions options;
    options.reuse_detector = true;
    options.reuse_buffers = reuse_buffers;
    return options;
}

void WriteInput(const std::string& path, const uint8_t* data, size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) {
        std::perror(path.c_str());
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Scratch scratch;
    static vrel::PhotoReviewer checked(Shipped(0), VREL_APP_DIR "/", Options(true));
    static vrel::PhotoReviewer bypass(Shipped(1), VREL_APP_DIR "/", Options(false));

    WriteInput(scratch.in, data, size);
    vrel::PhotoReviewer& reviewer = size > 0 && (data[size / 2] & 1) ? bypass : checked;
    const vrel::ReviewResult result = reviewer.Review(scratch.in);
    // The same bytes from memory give the same verdict, as the service reviews uploads.
    const vrel::ReviewResult memory = reviewer.ReviewBytes(data, size);
    if (memory.verdict != result.verdict || memory.error != result.error) {
        std::fprintf(stderr, "file and buffer reviews differ: %s / %s\n",
                     vrel::VerdictName(result.verdict), vrel::VerdictName(memory.verdict));
        std::abort();
    }

    const cv::Mat& image = result.result_image;
    if (!vrel::IsPass(result.verdict) || image.empty() || image.total() > 4'000'000) {
        return 0;
    }
    const vrel::SaveOutcome saved =
        vrel::SavePassedPhotoFile(image, scratch.out, reviewer.Settings());
    // A saved photo carries the marker, so it must pass again at once.
    if (saved.status == vrel::SaveStatus::Saved &&
        reviewer.Review(scratch.out).verdict != vrel::CheckVerdict::PassedByMarker) {
        std::fprintf(stderr, "saved photo does not pass by its marker\n");
        std::abort();
    }
    return 0;
}
