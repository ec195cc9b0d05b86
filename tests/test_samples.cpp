// Every sample photo against its sidecar (sample_cases.h), found when the tests run: the review
// gives what the sidecar names; vrel-check over the sample folders and vrel-serve give the
// review's own record; and where the sidecar names a correction, vrel-check --correct-dir and
// the service's correction come to it, with a corrected photo that passes again.
#include "correct/correction.h"
#include "report/report.h"

#include "process.h"
#include "sample_cases.h"
#include "serve_client.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <filesystem>
#include <map>
#include <memory>
#include <set>

namespace vrel {
namespace {

namespace fs = std::filesystem;
using namespace serve::test_client;
using test::SampleCase;

// Where actual differs from what a sidecar expects of it, from the path at: the keys expected
// names (recursively), arrays element by element, a number written with a fraction within the
// tolerance, anything else exactly, null for "absent".
void Mismatches(const Json& expected, const Json& actual, double tolerance, const std::string& at,
                std::vector<std::string>& found) {
    if (expected.is_object() && actual.is_object()) {
        for (const auto& item : expected.items()) {
            const auto it = actual.find(item.key());
            Mismatches(item.value(), it == actual.end() ? Json() : *it, tolerance,
                       at + "." + item.key(), found);
        }
    } else if (expected.is_array() && actual.is_array() && expected.size() == actual.size()) {
        for (size_t i = 0; i < expected.size(); ++i) {
            Mismatches(expected[i], actual[i], tolerance, at + "[" + std::to_string(i) + "]",
                       found);
        }
    } else if (expected.is_number_float() && actual.is_number()
                   ? std::abs(actual.get<double>() - expected.get<double>()) > tolerance
                   : expected != actual) {
        found.push_back(at + ": " + actual.dump() + ", expected " + expected.dump() +
                        (expected.is_number_float() ? " ± " + Json(tolerance).dump() : ""));
    }
}

// Fails the test for every difference from what the sidecar's field ("record", "correction")
// expects.
void ExpectMatches(const SampleCase& c, const std::string& field, const Json& actual) {
    Json expected = c.expected.value(field, Json::object());
    if (field == "record") {
        expected["verdict"] = c.expected["verdict"];
    }
    std::vector<std::string> found;
    Mismatches(expected, actual, c.expected.value("tolerance", 0.005), field, found);
    for (const std::string& line : found) {
        ADD_FAILURE() << c.sidecar << ": " << line;
    }
}

// A correction's outcome as a sidecar names it, from a record's correction or correction_error
// (neither: a pass, which vrel-check does not correct).
Json Outcome(const Json& correction, const Json& error) {
    Json outcome = !correction.is_null() ? correction : error.is_null() ? Json::object() : error;
    // The sides the photo was extended on (how far moves with the detector's box).
    if (outcome.contains("extend")) {
        outcome["extended_sides"] = Json::array();
        for (const char* side : {"top", "left", "right"}) {
            if (outcome["extend"].value(side, 0) > 0) {
                outcome["extended_sides"].push_back(side);
            }
        }
    }
    outcome["status"] = !correction.is_null()                         ? "corrected"
                        : outcome.value("rule", "passed") == "passed" ? "already_passes"
                                                                      : "refused";
    return outcome;
}

// A corrected photo passes by its marker, and with every test.
void ExpectPassesAgain(const test::Bytes& photo) {
    for (const bool every_test : {false, true}) {
        ReviewOptions options;
        options.ignore_marker = every_test;
        PhotoReviewer reviewer(test::ShippedSettings(), test::AppDataDir(), options);
        EXPECT_EQ(reviewer.ReviewBytes(photo.data(), photo.size()).verdict,
                  every_test ? CheckVerdict::Passed : CheckVerdict::PassedByMarker);
    }
}

// A test's name from its sample's: letters and digits, the rest as '_'.
std::string SampleName(const ::testing::TestParamInfo<SampleCase>& info) {
    std::string name = info.param.name;
    for (char& ch : name) {
        ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
    }
    return name;
}

class Sample : public ::testing::TestWithParam<SampleCase> {
protected:
    // One vrel-check run over every sample folder, correcting what it can, and one service that
    // trusts the pass marker as vrel-check does.
    static void SetUpTestSuite() {
        out_ = std::make_unique<test::TempDir>();
        std::vector<std::string> argv = {VREL_CHECK_EXE, "-q", "--json", "--correct-dir",
                                         out_->File("corrected")};
        std::set<std::string> folders;
        for (const SampleCase& c : test::SampleCases()) {
            if (!c.photo.empty()) {
                folders.insert(fs::path(c.photo).parent_path().string());
            }
        }
        argv.insert(argv.end(), folders.begin(), folders.end());
        batch_ = test::RunProgram(argv);
        for (const Json& record : test::JsonLines(batch_.out)) {
            records_[record.value("path", "")] = record;
        }
        serve::ServiceOptions options = Running::Defaults();
        options.pool.kit.review.ignore_marker = false;
        service_ = std::make_unique<Running>(options);
    }
    static void TearDownTestSuite() {
        service_.reset();
        out_.reset();
    }
    static Answer Post(const std::string& route) {
        return Send(service_->Port(), http::verb::post, route,
                    Multipart("photo", fs::path(GetParam().photo).filename().string(),
                              Text(test::ReadBytes(GetParam().photo))),
                    kMultipartType);
    }
    static inline std::unique_ptr<test::TempDir> out_;
    static inline test::Finished batch_;
    static inline std::map<std::string, Json> records_;
    static inline std::unique_ptr<Running> service_;
};

TEST_P(Sample, GivesWhatItsSidecarExpects) {
    const SampleCase& c = GetParam();
    ASSERT_EQ(c.error, "");
    const CheckSettings settings = test::ShippedSettings();
    const ReviewResult r = PhotoReviewer(settings, test::AppDataDir()).Review(c.photo);
    const Json record = Json::parse(RecordToJson(MakeRecord(c.photo, r, settings)).dump());
    ExpectMatches(c, "record", record);
    // A pass keeps the photo, at the normalised size; every rejection says why.
    EXPECT_EQ(r.result_image.empty(), !IsPass(r.verdict));
    if (r.verdict == CheckVerdict::Passed) {
        EXPECT_EQ(r.result_image.size(), cv::Size(settings.dst_width, settings.dst_height));
    }
    EXPECT_EQ(record.contains("reason"), !IsPass(r.verdict));
    {
        SCOPED_TRACE("vrel-check");
        EXPECT_TRUE(batch_.status == 0 || batch_.status == 1) << batch_.status;
        EXPECT_EQ(batch_.err, ""); // quiet, and nothing from the image libraries
        ASSERT_EQ(records_.count(c.photo), 1u) << "not read from its folder";
        Json batch = records_[c.photo];
        if (c.expected.contains("correction")) {
            ExpectMatches(c, "correction",
                          Outcome(batch.value("correction", Json()),
                                  batch.value("correction_error", Json())));
        }
        if (batch.contains("corrected")) {
            ExpectPassesAgain(test::ReadBytes(batch["corrected"].get<std::string>()));
        }
        // What tells the file apart is the batch's own.
        EXPECT_EQ(batch.value("sha256", "").size(), 64u);
        for (const char* key : {"corrected", "correction", "correction_error", "corrected_sha256",
                                "mtime_ns", "sha256", "phash", "duplicates"}) {
            batch.erase(key);
        }
        EXPECT_EQ(batch, record);
    }
    SCOPED_TRACE("vrel-serve");
    const Answer reviewed = Post("/api/v1/review");
    Json served = record;
    served["path"] = fs::path(c.photo).filename().string();
    served["profile"] = "default"; // the service names the rules it reviewed by
    EXPECT_EQ(reviewed.status == 200 ? reviewed.AsJson() : Json(reviewed.body), served);
    if (!c.expected.contains("correction")) {
        return;
    }
    const Answer corrected = Post("/api/v1/correct");
    if (corrected.status == 200) {
        EXPECT_EQ(corrected.headers.at("X-Vrel-Verdict"), c.expected["verdict"]);
        ExpectMatches(c, "correction",
                      Outcome(Json::parse(corrected.headers.at("X-Vrel-Correction")), {}));
        ExpectPassesAgain(test::Bytes(corrected.body.begin(), corrected.body.end()));
    } else {
        ASSERT_EQ(corrected.status, 422) << corrected.body;
        ExpectMatches(c, "correction", Outcome({}, corrected.AsJson()["correction_error"]));
    }
}

INSTANTIATE_TEST_SUITE_P(Samples, Sample, ::testing::ValuesIn(test::SampleCases()), SampleName);

// Real portraits and versions derived from them (tests/data/SOURCES.md): each is
// corrected with the steps its sidecar names, or refused with its blockers in order.
class CorrectionSet : public ::testing::TestWithParam<SampleCase> {
protected:
    static void SetUpTestSuite() {
        corrector_ = std::make_unique<PhotoCorrector>(test::ShippedSettings(), test::AppDataDir());
    }
    static void TearDownTestSuite() { corrector_.reset(); }
    static inline std::unique_ptr<PhotoCorrector> corrector_;
};

TEST_P(CorrectionSet, IsCorrectedOrRefusedAsItsSidecarSays) {
    const SampleCase& c = GetParam();
    ASSERT_EQ(c.error, "");
    ASSERT_EQ(corrector_->SetupError(), Error());
    const CheckSettings settings = test::ShippedSettings();
    const ReviewResult review = PhotoReviewer(settings, test::AppDataDir()).Review(c.photo);
    EXPECT_EQ(VerdictName(review.verdict), c.expected["verdict"].get<std::string>());
    const Correction corrected = corrector_->CorrectFile(c.photo, review);
    PhotoRecord record = MakeRecord(c.photo, review, settings);
    AddCorrection(record, corrected, settings);
    const Json json = Json::parse(RecordToJson(record).dump());
    ExpectMatches(
        c, "correction",
        Outcome(json.value("correction", Json()), json.value("correction_error", Json())));
    if (corrected.status == CorrectionStatus::Corrected) {
        ExpectPassesAgain(corrected.bytes);
        // Extended above and beside, never below: the person still reaches the bottom edge.
        if (corrected.extended) {
            EXPECT_EQ(corrected.extended->bottom, 0);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Photos, CorrectionSet,
                         ::testing::ValuesIn(test::SampleCases(VREL_SOURCE_DIR
                                                               "/tests/data/correction")),
                         SampleName);

// A sample whose sidecar is missing or cannot be used is an error that names the sidecar.
TEST(Sidecars, AMissingOrMalformedSidecarIsAnErrorNamingIt) {
    const std::string passed = R"({"verdict": "Passed"})";
    const struct {
        std::vector<std::pair<std::string, std::string>> files;
        const char* says; // nullptr: usable
    } cases[] = {
        {{{"a.jpg", ""}, {"a.expected.json", passed}}, nullptr},
        {{{"a.jpg", ""}}, "missing"},
        {{{"a.expected.json", passed}}, "no photo"},
        {{{"a.jpg", ""}, {"a.expected.json", "{\"verdict\""}}, "not JSON"},
        {{{"a.jpg", ""}, {"a.expected.json", "{}"}}, "\"verdict\""},
        {{{"a.jpg", ""}, {"a.expected.json", R"({"verdict": "Passed", "recrod": {}})"}},
         "\"recrod\""},
        {{{"a.jpg", ""}, {"a.expected.json", R"({"verdict": "Passed", "correction": []})"}},
         "\"correction\""},
        {{{"correctable/a.png", ""}, {"correctable/a.expected.json", passed}}, "correctable/"},
        {{{"a.jpg", ""}, {"a.png", ""}, {"a.expected.json", passed}}, "would share"},
    };
    for (const auto& c : cases) {
        test::TempDir dir;
        std::string sidecar = "a.expected.json"; // where none is written
        for (const auto& [name, text] : c.files) {
            fs::create_directories(fs::path(dir.File(name)).parent_path());
            test::WriteBytes(dir.File(name), test::Bytes(text.begin(), text.end()));
            sidecar = name.find(".expected.json") != std::string::npos ? name : sidecar;
        }
        const std::vector<SampleCase> found = test::SampleCases(dir.Path());
        ASSERT_EQ(found.size(), 1u) << sidecar;
        const std::string& error = found[0].error;
        EXPECT_EQ(error.empty(), c.says == nullptr) << error;
        if (c.says != nullptr) {
            EXPECT_EQ(error.rfind(dir.File(sidecar) + ": ", 0), 0u) << error;
            EXPECT_NE(error.find(c.says), std::string::npos) << error;
        }
    }
}

} // namespace
} // namespace vrel
