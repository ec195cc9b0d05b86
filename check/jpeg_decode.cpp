#include "check/jpeg_decode.h"

#include "check/jpeg_header.h"

#include <opencv2/core.hpp>

// jpeglib.h needs FILE and size_t declared first.
#include <cstddef>
#include <cstdio>

#include <jerror.h>
#include <jpeglib.h>

#include <algorithm>
#include <csetjmp>
#include <cstring>

namespace vrel {
namespace {

// libjpeg reports through callbacks: errors jump back to the decoding function, warnings are
// collected, and nothing goes to standard error.
struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
    std::vector<std::string>* warnings;
    std::string* damage_messages; // the texts of the two warnings below
    bool out_of_data;             // the entropy decoder needed bits that were not there
    bool end_of_file;             // the source ran dry before the end-of-image marker
    bool stopped;                 // the work limit ended the decoding
};

void OnError(j_common_ptr cinfo) {
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->message);
    std::longjmp(err->jump, 1);
}

void OnMessage(j_common_ptr cinfo, int level) {
    if (level >= 0) {
        return; // trace messages
    }
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    const int code = cinfo->err->msg_code;
    if (code == JWRN_HIT_MARKER) {
        err->out_of_data = true;
    } else if (code == JWRN_JPEG_EOF) {
        err->end_of_file = true;
    }
    char text[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, text);
    try {
        if (code == JWRN_HIT_MARKER || code == JWRN_JPEG_EOF) {
            *err->damage_messages += std::string(text) + '\n';
        }
        auto& list = *err->warnings;
        if (list.size() < 16 && std::find(list.begin(), list.end(), text) == list.end()) {
            list.emplace_back(text);
        }
    } catch (...) {
        // A warning that cannot be kept is dropped; the decoding goes on.
    }
    ++cinfo->err->num_warnings;
}

// Looked at by the decoder between rows and scans: a photo with too many scans, or work past
// its limit, ends the decoding as an error.
struct ProgressWatch {
    jpeg_progress_mgr pub;
    const WorkLimit* limit;
};

void OnProgress(j_common_ptr cinfo) {
    auto* watch = reinterpret_cast<ProgressWatch*>(cinfo->progress);
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    if (cinfo->is_decompressor) {
        const auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
        if (d->input_scan_number > kMaxJpegScans) {
            std::snprintf(err->message, sizeof err->message,
                          "the photo has more than %d progressive scans", kMaxJpegScans);
            std::longjmp(err->jump, 1);
        }
    }
    if (watch->limit != nullptr) {
        if (const char* why = watch->limit->Stopped()) {
            std::snprintf(err->message, sizeof err->message, "%s", why);
            err->stopped = true;
            std::longjmp(err->jump, 1);
        }
    }
}

// The decoder's CMYK to blue-green-red conversion, so that such photos come out as the
// image library's own reader gives them.
void CmykRowToBgr(const unsigned char* cmyk, unsigned char* bgr, int width) {
    for (int i = 0; i < width; ++i, cmyk += 4, bgr += 3) {
        const int k = cmyk[3];
        bgr[2] = static_cast<unsigned char>(k - ((255 - cmyk[0]) * k >> 8));
        bgr[1] = static_cast<unsigned char>(k - ((255 - cmyk[1]) * k >> 8));
        bgr[0] = static_cast<unsigned char>(k - ((255 - cmyk[2]) * k >> 8));
    }
}

// The orientation tag of the first APP1 segment, which libjpeg has kept for us.
int SavedOrientation(const jpeg_decompress_struct& cinfo) {
    for (jpeg_saved_marker_ptr m = cinfo.marker_list; m != nullptr; m = m->next) {
        if (m->marker == JPEG_APP0 + 1) {
            return ExifOrientationOf(m->data, m->data_length);
        }
    }
    return 1;
}

// Where the compressed data comes from: memory, or else a file.
struct Input {
    const unsigned char* data;
    size_t size;
    std::FILE* file;
};

struct Output {
    cv::Mat* image;
    std::vector<unsigned char>* row; // scratch row for CMYK
    int orientation;
    bool damaged;
};

// Whether the header reader, which the size checks and the pixel budget go by, reads the size
// that libjpeg has read: a file whose headers could be read two ways is not decoded.
bool SameSizeAsRead(const Input& in, const jpeg_decompress_struct& cinfo) {
    if (in.file != nullptr) {
        return true; // a file is read by the review alone, with no budget beside it
    }
    MemorySource source(in.data, in.size);
    const std::optional<JpegHeader> header = ReadJpegHeader(source);
    return header && header->width == static_cast<int>(cinfo.image_width) &&
           header->height == static_cast<int>(cinfo.image_height);
}

// The part that libjpeg may jump out of: no object with a destructor lives here.
bool Run(jpeg_decompress_struct* cinfo, ErrorManager* err, const Input* in, int scale_denom,
         Output* out) {
    if (setjmp(err->jump) != 0) {
        return false;
    }
    if (in->file != nullptr) {
        jpeg_stdio_src(cinfo, in->file);
    } else {
        jpeg_mem_src(cinfo, in->data, static_cast<unsigned long>(in->size));
    }
    jpeg_save_markers(cinfo, JPEG_APP0 + 1, 0xFFFF);
    jpeg_read_header(cinfo, TRUE);
    if (!SameSizeAsRead(*in, *cinfo)) {
        std::snprintf(err->message, sizeof err->message,
                      "the photo's headers can be read as two sizes");
        return false;
    }
    if (int64_t{cinfo->image_width} * cinfo->image_height > kMaxDecodedPixels) {
        std::snprintf(err->message, sizeof err->message,
                      "the photo declares more pixels than are decoded (%u x %u)",
                      cinfo->image_width, cinfo->image_height);
        return false;
    }
    out->orientation = SavedOrientation(*cinfo);
    const bool cmyk = cinfo->num_components == 4;
    cinfo->out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGR;
    cinfo->scale_num = 1;
    cinfo->scale_denom = static_cast<unsigned>(scale_denom);
    jpeg_start_decompress(cinfo);
    const int width = static_cast<int>(cinfo->output_width);
    const int height = static_cast<int>(cinfo->output_height);
    out->image->create(height, width, CV_8UC3);
    if (cmyk) {
        out->row->resize(size_t(width) * 4);
    }
    while (cinfo->output_scanline < cinfo->output_height) {
        const int y = static_cast<int>(cinfo->output_scanline);
        JSAMPROW row = cmyk ? out->row->data() : out->image->ptr<unsigned char>(y);
        if (jpeg_read_scanlines(cinfo, &row, 1) != 1) {
            std::snprintf(err->message, sizeof err->message, "the decoder stopped early");
            return false;
        }
        if (cmyk) {
            CmykRowToBgr(out->row->data(), out->image->ptr<unsigned char>(y), width);
        }
    }
    // Data that ran out before the last row, or before the last scan of a progressive or
    // arithmetic-coded photo, leaves part of the picture made up. A photo that is complete and
    // lacks only its end marker is not damaged.
    out->damaged =
        err->out_of_data || (err->end_of_file && (cinfo->progressive_mode || cinfo->arith_code));
    jpeg_finish_decompress(cinfo);
    return true;
}

// The decoder turns the photo upright as its orientation says.
void TurnUpright(cv::Mat& image, int orientation) {
    switch (orientation) {
    case 2:
        cv::flip(image, image, 1);
        break;
    case 3:
        cv::flip(image, image, -1);
        break;
    case 4:
        cv::flip(image, image, 0);
        break;
    case 5:
        cv::transpose(image, image);
        break;
    case 6:
        cv::transpose(image, image);
        cv::flip(image, image, 1);
        break;
    case 7:
        cv::transpose(image, image);
        cv::flip(image, image, -1);
        break;
    case 8:
        cv::transpose(image, image);
        cv::flip(image, image, 0);
        break;
    default:
        break;
    }
}

JpegDecode Decode(const Input& in, int scale_denom, cv::Mat* target, const WorkLimit* limit) {
    JpegDecode result;
    jpeg_decompress_struct cinfo;
    ErrorManager err{};
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = OnError;
    err.pub.emit_message = OnMessage;
    err.warnings = &result.warnings;
    std::string damage_messages;
    err.damage_messages = &damage_messages;
    jpeg_create_decompress(&cinfo);
    ProgressWatch watch{};
    watch.pub.progress_monitor = OnProgress;
    watch.limit = limit;
    cinfo.progress = &watch.pub;

    cv::Mat local;
    cv::Mat& image = target != nullptr ? *target : local;
    if (image.u != nullptr && image.u->refcount > 1) {
        image = cv::Mat(); // its pixels have another owner now: leave them to it
    }
    std::vector<unsigned char> row;
    Output out{&image, &row, 1, false};
    bool ok = false;
    try {
        ok = Run(&cinfo, &err, &in, scale_denom, &out);
        if (!ok) {
            result.error = {err.stopped ? ErrorCode::Stopped : ErrorCode::Invalid, err.message};
        }
    } catch (const std::exception& e) { // the image's memory could not be had
        result.error = {ErrorCode::Invalid, e.what()};
    }
    jpeg_destroy_decompress(&cinfo);
    if (!ok) {
        if (target != nullptr) {
            *target = cv::Mat();
        }
        return result;
    }
    result.damaged = out.damaged;
    result.orientation = out.orientation;
    if (result.damaged) { // those warnings are the damage itself, not news beside it
        auto& w = result.warnings;
        w.erase(std::remove_if(w.begin(), w.end(),
                               [&](const std::string& text) {
                                   return damage_messages.find(text + '\n') != std::string::npos;
                               }),
                w.end());
    }
    try {
        TurnUpright(image, out.orientation);
    } catch (const std::exception& e) {
        result.error = {ErrorCode::Invalid, e.what()};
        return result;
    }
    result.image = image;
    return result;
}

} // namespace

JpegDecode DecodeJpeg(const unsigned char* data, size_t size, int scale_denom, cv::Mat* target,
                      const WorkLimit* limit) {
    return Decode(Input{data, size, nullptr}, scale_denom, target, limit);
}

JpegDecode DecodeJpegFile(std::FILE* file, int scale_denom, const WorkLimit* limit) {
    std::fseek(file, 0, SEEK_SET);
    return Decode(Input{nullptr, 0, file}, scale_denom, nullptr, limit);
}

} // namespace vrel
