#include "output/photo_writer.h"

#include "check/pass_marker.h"

#include "platform/files.h"

#include <opencv2/imgcodecs.hpp>

#include <cstring>

namespace vrel {
namespace {

bool Encode(const cv::Mat& image, int quality, std::vector<unsigned char>& out) {
    out.clear();
    try {
        return cv::imencode(".jpg", image, out, {cv::IMWRITE_JPEG_QUALITY, quality}) &&
               !out.empty();
    } catch (const cv::Exception&) {
        return false;
    }
}

} // namespace

LadderResult RunQualityLadder(const JpegEncoder& encoder, const CheckSettings& settings) {
    LadderResult r;
    const int64_t max_bytes = KilobytesToBytes(settings.pic_out_max_size);
    const int64_t min_bytes = KilobytesToBytes(settings.pic_out_min_size);
    auto encode = [&](int quality) {
        r.quality = quality;
        if (!encoder(quality, r.jpeg) || r.jpeg.empty()) {
            r.error = {ErrorCode::Unwritable,
                       "the JPEG encoder failed at quality " + std::to_string(quality)};
            return false;
        }
        return true;
    };
    auto too_big = [&] { return static_cast<int64_t>(r.jpeg.size()) > max_bytes; };

    if (!encode(85)) {
        return r;
    }
    if (too_big()) {
        for (int quality : {75, 60}) {
            if (!encode(quality)) {
                return r;
            }
            if (!too_big()) {
                r.status = SaveStatus::Saved;
                return r;
            }
        }
        r.status = SaveStatus::TooLarge;
        r.error = {ErrorCode::Invalid, "larger than pic_out_max_size even at quality 60"};
        return r;
    }
    if (static_cast<int64_t>(r.jpeg.size()) < min_bytes && !encode(95)) {
        return r;
    }
    r.status = SaveStatus::Saved;
    return r;
}

LadderResult EncodeWithinLimits(const cv::Mat& image, const CheckSettings& settings) {
    if (image.empty()) {
        LadderResult r;
        r.error = {ErrorCode::Invalid, "no photo to save"};
        return r;
    }
    return RunQualityLadder(
        [&](int quality, std::vector<unsigned char>& out) { return Encode(image, quality, out); },
        settings);
}

std::optional<std::vector<unsigned char>> MarkEncodedPhoto(std::vector<unsigned char> jpeg) {
    static const unsigned char kStart[4] = {0xFF, 0xD8, 0xFF, 0xE0};
    static const unsigned char kJfif[5] = {'J', 'F', 'I', 'F', 0};
    if (jpeg.size() < 18 || std::memcmp(jpeg.data(), kStart, 4) != 0 ||
        std::memcmp(jpeg.data() + 6, kJfif, 5) != 0) {
        return std::nullopt;
    }
    // Units: dots per inch; horizontal and vertical density 300, big-endian.
    static const unsigned char kDensity[5] = {0x01, 0x01, 0x2C, 0x01, 0x2C};
    std::memcpy(jpeg.data() + 13, kDensity, sizeof kDensity);
    jpeg.insert(jpeg.end(), std::begin(kPassMarker), std::end(kPassMarker));
    return jpeg;
}

Error WriteFileAtomically(const std::string& path, const std::vector<unsigned char>& bytes) {
    const platform::WriteResult written = platform::WriteWholeFile(path, bytes, true);
    if (written.status == platform::WriteStatus::Written) {
        return {};
    }
    return written.error;
}

PreparedPhoto PreparePassedPhoto(const cv::Mat& image, const CheckSettings& settings) {
    PreparedPhoto prepared;
    SaveOutcome& outcome = prepared.outcome;
    LadderResult ladder = EncodeWithinLimits(image, settings);
    outcome.quality = ladder.quality;
    outcome.status = ladder.status;
    outcome.error = ladder.error;
    if (ladder.status != SaveStatus::Saved) {
        return prepared;
    }
    auto marked = MarkEncodedPhoto(std::move(ladder.jpeg));
    if (!marked) {
        outcome.status = SaveStatus::WriteFailed;
        outcome.error = {ErrorCode::Unsupported, "the encoder did not write a JFIF header"};
        return prepared;
    }
    prepared.bytes = std::move(*marked);
    outcome.size = prepared.bytes.size();
    return prepared;
}

SaveOutcome SavePassedPhotoFile(const cv::Mat& image, const std::string& path,
                                const CheckSettings& settings) {
    PreparedPhoto prepared = PreparePassedPhoto(image, settings);
    if (prepared.outcome.status == SaveStatus::Saved) {
        if (const Error error = WriteFileAtomically(path, prepared.bytes)) {
            prepared.outcome.status = SaveStatus::WriteFailed;
            prepared.outcome.error = error;
            prepared.outcome.size = 0;
        }
    }
    return prepared.outcome;
}

} // namespace vrel
