// Photos handed in twice: the perceptual hash of a photo and of its re-encoded, resized,
// cropped and brightened copies lie within the bound; other people's photos lie beyond it. The
// bound was chosen on the first half of the photos (grace, astronaut) and is checked on the
// second (beige, outdoor, room). VREL_DUPLICATES_TABLE=1 prints the distances measured.
#include "fingerprint/duplicates.h"
#include "fingerprint/fingerprint.h"

#include "test_support.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>

namespace vrel {
namespace {

struct Photo {
    std::string name, person;
    cv::Mat picture;
};

// Who is in a photo, by its file name: the samples are all made from grace_hopper.jpg, and the
// grey_wall photos too.
std::string PersonOf(const std::filesystem::path& path) {
    const std::string name = path.filename().string();
    if (path.parent_path().filename() == "samples") {
        return "grace";
    }
    for (const char* person : {"astronaut", "beige", "outdoor", "room"}) {
        if (name.rfind(person, 0) == 0) {
            return person;
        }
    }
    return "grace";
}

std::vector<Photo> RealPhotos() {
    std::vector<Photo> photos;
    for (const char* dir : {VREL_SOURCE_DIR "/samples", VREL_SOURCE_DIR "/tests/data/correction"}) {
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            const std::string ext = entry.path().extension().string();
            if (ext != ".jpg" && ext != ".png" && ext != ".webp") {
                continue;
            }
            cv::Mat picture = cv::imread(entry.path().string(), cv::IMREAD_COLOR);
            if (!picture.empty()) {
                photos.push_back(
                    {entry.path().filename().string(), PersonOf(entry.path()), std::move(picture)});
            }
        }
    }
    std::sort(photos.begin(), photos.end(),
              [](const Photo& a, const Photo& b) { return a.name < b.name; });
    return photos;
}

cv::Mat Jpeg(const cv::Mat& picture, int quality) {
    std::vector<unsigned char> bytes;
    cv::imencode(".jpg", picture, bytes, {cv::IMWRITE_JPEG_QUALITY, quality});
    return cv::imdecode(bytes, cv::IMREAD_COLOR);
}

cv::Mat Scaled(const cv::Mat& picture, double f) {
    cv::Mat out;
    cv::resize(picture, out, cv::Size(), f, f, f < 1 ? cv::INTER_AREA : cv::INTER_LINEAR);
    return Jpeg(out, 90);
}

// Shares of the height and width cut off each side.
cv::Mat Cropped(const cv::Mat& p, double top, double bottom, double sides) {
    const int x = int(p.cols * sides), y = int(p.rows * top);
    return Jpeg(p(cv::Rect(x, y, p.cols - 2 * x, p.rows - y - int(p.rows * bottom))).clone(), 90);
}

cv::Mat Exposed(const cv::Mat& p, double gain, double offset) {
    cv::Mat out;
    p.convertTo(out, -1, gain, offset);
    return Jpeg(out, 90);
}

const struct {
    const char* what;
    cv::Mat (*make)(const cv::Mat&);
} kCopies[] = {
    {"re-encoded at quality 40", [](const cv::Mat& p) { return Jpeg(p, 40); }},
    {"shrunk to a half", [](const cv::Mat& p) { return Scaled(p, 0.5); }},
    {"shrunk to 295 wide", [](const cv::Mat& p) { return Scaled(p, 295.0 / p.cols); }},
    {"enlarged by a half", [](const cv::Mat& p) { return Scaled(p, 1.5); }},
    {"cropped 3 % all round", [](const cv::Mat& p) { return Cropped(p, 0.03, 0.03, 0.03); }},
    {"cropped 6 % off the bottom", [](const cv::Mat& p) { return Cropped(p, 0, 0.06, 0); }},
    {"brighter", [](const cv::Mat& p) { return Exposed(p, 1.2, 25); }},
    {"darker", [](const cv::Mat& p) { return Exposed(p, 0.7, 0); }},
};

bool TuningHalf(const Photo& p) {
    return p.person == "grace" || p.person == "astronaut";
}

TEST(Duplicates, CopiesWithinTheBoundOtherPeopleBeyondIt) {
    const bool table = std::getenv("VREL_DUPLICATES_TABLE") != nullptr;
    const std::vector<Photo> photos = RealPhotos();
    ASSERT_GT(photos.size(), 30u);
    struct Hashed {
        const Photo* photo;
        uint64_t hash;
    };
    std::vector<Hashed> all; // originals and copies
    // Per half: copies found and missed; pairs of different people matched and apart.
    std::map<bool, int> found, missed, matched, apart;
    std::map<std::string, int> missed_by_copy;
    std::map<bool, int> worst_copy, nearest_other;
    for (const Photo& photo : photos) {
        const uint64_t original = PerceptualHash(photo.picture);
        all.push_back({&photo, original});
        for (const auto& copy : kCopies) {
            const uint64_t hash = PerceptualHash(copy.make(photo.picture));
            const int d = HashDistance(original, hash);
            worst_copy[TuningHalf(photo)] = std::max(worst_copy[TuningHalf(photo)], d);
            (d <= kDuplicateBound ? found : missed)[TuningHalf(photo)]++;
            if (d > kDuplicateBound) {
                ++missed_by_copy[copy.what];
                if (table) {
                    std::cout << "missed: " << photo.name << " " << copy.what << " at " << d
                              << "\n";
                }
            }
            all.push_back({&photo, hash});
        }
    }
    nearest_other = {{true, 64}, {false, 64}};
    for (size_t i = 0; i < all.size(); ++i) {
        for (size_t j = i + 1; j < all.size(); ++j) {
            const Photo &a = *all[i].photo, &b = *all[j].photo;
            if (a.person == b.person || TuningHalf(a) != TuningHalf(b)) {
                continue; // the same person's other framings are no question of this bound
            }
            const int d = HashDistance(all[i].hash, all[j].hash);
            nearest_other[TuningHalf(a)] = std::min(nearest_other[TuningHalf(a)], d);
            (d <= kDuplicateBound ? matched : apart)[TuningHalf(a)]++;
        }
    }
    if (table) {
        std::cout << "bound " << kDuplicateBound << "\n";
        for (const bool tuning : {true, false}) {
            std::cout << (tuning ? "tuning" : "checking") << " half: copies found " << found[tuning]
                      << ", missed " << missed[tuning] << "; other people's pairs matched "
                      << matched[tuning] << " of " << matched[tuning] + apart[tuning]
                      << "; copies' farthest " << worst_copy[tuning]
                      << " bits, other people's nearest " << nearest_other[tuning] << "\n";
        }
        for (const auto& [what, n] : missed_by_copy) {
            std::cout << "  missed " << what << ": " << n << "\n";
        }
    }
    for (const bool tuning : {true, false}) {
        SCOPED_TRACE(tuning ? "tuning half" : "checking half");
        EXPECT_EQ(matched[tuning], 0) << "another person's photo taken for a copy";
        EXPECT_LE(missed[tuning] * 20, found[tuning] + missed[tuning]) << "over 5 % missed";
    }
}

TEST(Duplicates, GroupsJoinChainsOfMatchesAndLeavePhotosWithoutAPicture) {
    DuplicateFinder finder(2);
    const std::optional<uint64_t> hashes[] = {
        0b0000, 0b0111'0000'0000, std::nullopt, 0b0011, 0b0001'0000'0000 | 0b1111'0000'0000,
        0b1111};
    std::vector<std::vector<size_t>> matches;
    for (const auto& h : hashes) {
        matches.push_back(finder.Add(h));
    }
    EXPECT_EQ(matches[3], std::vector<size_t>{0}); // 2 bits from the first
    EXPECT_EQ(matches[4], std::vector<size_t>{1}); // 1 bit from the second
    EXPECT_EQ(matches[5], std::vector<size_t>{3}); // 2 from the fourth, 4 from the first
    EXPECT_TRUE(matches[2].empty());
    EXPECT_EQ(finder.Groups(), (std::vector<std::vector<size_t>>{{0, 3, 5}, {1, 4}}));
}

TEST(Fingerprint, FileSizeDigestAndPictureHash) {
    test::TempDir dir;
    const std::vector<unsigned char> abc = {'a', 'b', 'c'};
    test::WriteBytes(dir.File("abc.jpg"), abc);
    const FileFingerprint f = FingerprintFile(dir.File("abc.jpg"));
    EXPECT_FALSE(f.error);
    EXPECT_EQ(f.size, 3u);
    EXPECT_EQ(f.sha256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_FALSE(f.phash.has_value()); // no picture
    EXPECT_GT(f.modified_ns, 0);
    EXPECT_EQ(FingerprintFile(dir.File("missing.jpg")).error.Code(), ErrorCode::NotFound);

    // A PNG copy of a JPEG hashes alike: the hash is of the picture, not of the file.
    const std::string jpeg = test::SamplePath("passed-grey-600x800.jpg");
    cv::imwrite(dir.File("copy.png"), cv::imread(jpeg));
    const auto a = FingerprintFile(jpeg).phash, b = FingerprintFile(dir.File("copy.png")).phash;
    ASSERT_TRUE(a && b);
    EXPECT_LE(HashDistance(*a, *b), kDuplicateBound);
    EXPECT_EQ(ParseHashHex(HashHex(*a)), a);
    EXPECT_FALSE(ParseHashHex("12345678abcdefgh").has_value());
}

} // namespace
} // namespace vrel
