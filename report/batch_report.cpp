#include "report/batch_report.h"

#include "check/jpeg_decode.h"
#include "correct/image_input.h"
#include "fingerprint/fingerprint.h"
#include "platform/files.h"
#include "report/report_assets.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <random>

namespace vrel {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

std::vector<unsigned char> Jpeg(const cv::Mat& picture, int quality) {
    std::vector<unsigned char> bytes;
    if (picture.empty() ||
        !cv::imencode(".jpg", picture, bytes, {cv::IMWRITE_JPEG_QUALITY, quality})) {
        bytes.clear();
    }
    return bytes;
}

std::vector<unsigned char> ReadFile(const std::string& path) {
    std::vector<unsigned char> bytes;
    std::FILE* file = platform::OpenForReading(path);
    if (file == nullptr) {
        return bytes;
    }
    unsigned char chunk[1 << 16];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) {
        if (bytes.size() + n > kMaxBufferedFile) {
            bytes.clear();
            break;
        }
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    std::fclose(file);
    return bytes;
}

// A thumbnail of a picture file of any format the correction reads, decoded reduced where it
// is large (a JPEG in the DCT domain).
std::vector<unsigned char> ThumbnailOfFile(const std::string& path) {
    if (path.empty()) {
        return {};
    }
    const std::vector<unsigned char> bytes = ReadFile(path);
    const auto info = SniffImage(bytes.data(), bytes.size());
    if (!info || info->DecodedPixels() > kMaxDecodedPixels) {
        return {};
    }
    int denom = 1;
    while (denom < 8 && std::min(info->width, info->height) / (2 * denom) >= kThumbHeight) {
        denom *= 2;
    }
    const DecodedImage decoded = DecodeImage(bytes.data(), bytes.size(), *info, denom);
    return decoded.damaged ? std::vector<unsigned char>() : Thumbnail(decoded.image);
}

std::string Numbered(uint64_t n, const char* suffix) {
    char name[32];
    std::snprintf(name, sizeof name, "%06llu%s", static_cast<unsigned long long>(n), suffix);
    return name;
}

std::string Now() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);
    return text;
}

std::string ReportId() {
    std::random_device random;
    char text[40];
    std::snprintf(text, sizeof text, "%08x%08x-%llx", random(), random(),
                  static_cast<unsigned long long>(std::time(nullptr)));
    return text;
}

std::string PercentEncoded(const std::string& text) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || c == '/') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

} // namespace

std::string RelativeUrl(const std::string& dir, const std::string& file) {
    std::error_code ec;
    const fs::path to = fs::absolute(fs::u8path(file), ec).lexically_normal();
    const fs::path from = fs::absolute(fs::u8path(dir), ec).lexically_normal();
    if (ec) {
        return {};
    }
    const fs::path relative = to.lexically_relative(from);
    if (relative.empty()) {
        std::string absolute = to.generic_u8string();
        return "file://" + std::string(absolute.front() == '/' ? "" : "/") +
               PercentEncoded(absolute);
    }
    return PercentEncoded(relative.generic_u8string());
}

std::vector<unsigned char> Thumbnail(const cv::Mat& picture) {
    if (picture.empty()) {
        return {};
    }
    if (picture.rows <= kThumbHeight) {
        return Jpeg(picture, 80);
    }
    const int width = std::max(1, picture.cols * kThumbHeight / picture.rows);
    cv::Mat small;
    cv::resize(picture, small, cv::Size(width, kThumbHeight), 0, 0, cv::INTER_AREA);
    return Jpeg(small, 80);
}

ReportPictures PicturesOfReview(const ReviewResult& result, const cv::Mat& corrected,
                                const CheckSettings& settings, const VerdictLabels& labels,
                                const std::string& path) {
    ReportPictures p;
    const cv::Mat& shown = !result.normalised.empty() ? result.normalised : result.result_image;
    p.thumb = shown.empty() ? ThumbnailOfFile(path) : Thumbnail(shown);
    if (!result.normalised.empty() && !IsPass(result.verdict)) {
        p.explain = Jpeg(DrawExplanation(result, settings, labels), 85);
    }
    p.corrected_thumb = Thumbnail(corrected);
    return p;
}

ReportPictures PicturesFromFiles(const std::string& photo, const std::string& corrected) {
    ReportPictures p;
    p.thumb = ThumbnailOfFile(photo);
    p.corrected_thumb = ThumbnailOfFile(corrected);
    return p;
}

Json SettingsToJson(const CheckSettings& s) {
    // A float as it is written in the settings file (0.45, not 0.449999988).
    const auto F = [](float value) {
        char text[32];
        std::snprintf(text, sizeof text, "%.6g", static_cast<double>(value));
        return std::strtod(text, nullptr);
    };
    Json j = {{"min_width", s.min_width},
              {"max_width", s.max_width},
              {"min_height", s.min_height},
              {"max_height", s.max_height},
              {"pic_min_size", s.pic_min_size},
              {"pic_max_size", s.pic_max_size},
              {"pic_out_min_size", s.pic_out_min_size},
              {"pic_out_max_size", s.pic_out_max_size},
              {"dst_width", s.dst_width},
              {"dst_height", s.dst_height},
              {"face_left_right_dif", s.face_left_right_dif},
              {"ratio_y_min", F(s.ratio_y_min)},
              {"ratio_y_max", F(s.ratio_y_max)},
              {"ratio_x_min", F(s.ratio_x_min)},
              {"ratio_x_max", F(s.ratio_x_max)},
              {"s_min", F(s.s_min)},
              {"i_min", F(s.i_min)},
              {"i_max", F(s.i_max)},
              {"cast", s.cast},
              {"bgc", s.bgc}};
    if (s.bgc == 1) {
        j["blue_h_min"] = F(s.blue_h_min);
        j["blue_h_max"] = F(s.blue_h_max);
        j["blue_s_min"] = F(s.blue_s_min);
        j["blue_s_max"] = F(s.blue_s_max);
    }
    return j;
}

Error BatchReportWriter::Open(const std::string& dir) {
    dir_ = dir;
    std::error_code ec;
    for (const char* sub : {"", "/thumbs", "/explain"}) {
        fs::create_directories(fs::u8path(dir + sub), ec);
        if (ec) {
            return {ErrorCode::Unwritable,
                    "cannot make the folder '" + dir + sub + "': " + ec.message()};
        }
    }
    size_t count = 0;
    const report_web::Asset* assets = report_web::AllAssets(count);
    for (size_t i = 0; i < count; ++i) {
        const std::vector<unsigned char> bytes(assets[i].data, assets[i].data + assets[i].size);
        const auto written = platform::WriteWholeFile(dir + assets[i].path, bytes, true);
        if (written.status != platform::WriteStatus::Written) {
            return {ErrorCode::Unwritable,
                    "cannot write '" + dir + assets[i].path + "': " + written.error.Detail()};
        }
    }
    records_.open(fs::u8path(dir + "/records.js.part"), std::ios::binary | std::ios::trunc);
    if (!records_) {
        return {ErrorCode::Unwritable, "cannot write '" + dir + "/records.js.part'"};
    }
    records_ << "window.vrelReport = {\"records\": [\n";
    return {};
}

Error BatchReportWriter::WritePicture(const std::string& name,
                                      const std::vector<unsigned char>& bytes) {
    const auto written = platform::WriteWholeFile(dir_ + "/" + name, bytes, true);
    if (written.status != platform::WriteStatus::Written) {
        return {ErrorCode::Unwritable,
                "cannot write '" + dir_ + "/" + name + "': " + written.error.Detail()};
    }
    return {};
}

Error BatchReportWriter::Add(Json record, const ReportPictures& pictures) {
    if (!failed_) {
        failed_ = Write(std::move(record), pictures);
    }
    return failed_;
}

Error BatchReportWriter::Write(Json record, const ReportPictures& pictures) {
    ++count_;
    if (record.contains("verdict") && record["verdict"].is_string()) {
        ++counts_[record["verdict"].get<std::string>()];
    }
    const auto text = [&](const char* key) {
        return record.contains(key) && record[key].is_string() ? record[key].get<std::string>()
                                                               : std::string();
    };
    duplicates_.Add(ParseHashHex(text("phash")));
    for (const auto& [key, url] :
         {std::pair{"path", "photo_url"}, {"corrected", "corrected_url"}}) {
        if (const std::string file = text(key); !file.empty()) {
            if (const std::string address = RelativeUrl(dir_, file); !address.empty()) {
                record[url] = address;
            }
        }
    }
    Error error;
    const struct {
        const char* key;
        const std::vector<unsigned char>& bytes;
        std::string name;
    } pictures_of[] = {
        {"thumb", pictures.thumb, "thumbs/" + Numbered(count_, ".jpg")},
        {"explain", pictures.explain, "explain/" + Numbered(count_, ".jpg")},
        {"corrected_thumb", pictures.corrected_thumb, "thumbs/" + Numbered(count_, "-c.jpg")},
    };
    for (const auto& p : pictures_of) {
        if (p.bytes.empty()) {
            continue;
        }
        if (Error written = WritePicture(p.name, p.bytes)) {
            error = std::move(written);
        } else {
            record[p.key] = p.name;
        }
    }
    records_ << (count_ > 1 ? ",\n" : "")
             << record.dump(-1, ' ', false, Json::error_handler_t::replace);
    if (!records_) {
        return {ErrorCode::Unwritable, "cannot write '" + dir_ + "/records.js.part'"};
    }
    return error;
}

Error BatchReportWriter::Close(ReportMeta meta) {
    if (failed_) {
        return failed_;
    }
    Json m = {{"generated", Now()},
              {"host", platform::HostName()},
              {"seconds", meta.seconds},
              {"program", meta.program},
              {"settings", meta.settings},
              {"requirements", meta.requirements},
              {"counts", meta.counts.empty() ? Json(counts_) : Json(meta.counts)},
              {"photos", count_},
              {"id", ReportId()},
              {"duplicate_groups", duplicates_.Groups()}};
    records_ << "\n],\n\"meta\": " << m.dump(-1, ' ', false, Json::error_handler_t::replace)
             << "};\n";
    records_.close();
    if (!records_) {
        return {ErrorCode::Unwritable, "cannot write '" + dir_ + "/records.js.part'"};
    }
    std::error_code ec;
    fs::rename(fs::u8path(dir_ + "/records.js.part"), fs::u8path(dir_ + "/records.js"), ec);
    if (ec) {
        return {ErrorCode::Unwritable,
                "cannot put '" + dir_ + "/records.js' in place: " + ec.message()};
    }
    return {};
}

} // namespace vrel
