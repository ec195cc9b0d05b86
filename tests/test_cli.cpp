#include "cli/batch.h"
#include "report/report.h"

#include "test_support.h"

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace vrel {
namespace {

using test::JsonLines;

TEST(BatchPaths, FolderGivesItsPhotosSortedByName) {
    test::TempDir dir;
    for (const char* name : {"b.JPG", "a.jpeg", "c.Jfif", "d.png", "e.jpg.txt"}) {
        test::WriteBytes(dir.File(name), {0});
    }
    std::filesystem::create_directory(dir.File("f.jpg"));
    const auto paths = ExpandPath(dir.Path());
    EXPECT_EQ(paths, (std::vector<std::string>{dir.File("a.jpeg"), dir.File("b.JPG"),
                                               dir.File("c.Jfif")}));
    EXPECT_EQ(ExpandPath("no/such/file.jpg"), std::vector<std::string>{"no/such/file.jpg"});
}

struct Completed {
    int status = -1;
    std::string out;
};

// with_errors: what it writes to standard error comes in out too.
Completed RunCheck(const std::string& args, bool with_errors = false) {
    Completed c;
    const std::string command =
        std::string(VREL_CHECK_EXE) + " " + args + (with_errors ? " 2>&1" : " 2>/dev/null");
    if (std::FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
            c.out.append(buffer, n);
        }
        const int raw = pclose(pipe);
        c.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }
    return c;
}

TEST(VrelCheck, JsonLinesInInputOrderAndExitStatus) {
    const std::string grey = test::SamplePath("passed-grey-600x800.jpg");
    const std::string two = test::SamplePath("face-count-wrong.jpg");
    test::TempDir dir;
    test::WriteBytes(dir.File("empty.jpg"), {});
    Completed c = RunCheck("--json " + grey + " " + two + " " + dir.File("empty.jpg"));
    EXPECT_EQ(c.status, 1);
    const auto lines = JsonLines(c.out);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0]["path"], grey);
    EXPECT_EQ(lines[0]["verdict"], "Passed");
    EXPECT_EQ(lines[0]["info"], "审核通过，保存后退出");
    EXPECT_TRUE(lines[0]["tip"].is_null());
    EXPECT_TRUE(lines[0]["face"].contains("w"));
    EXPECT_EQ(lines[1]["verdict"], "FaceCountWrong");
    EXPECT_EQ(lines[1]["tip"], "tips/state7.jpg");
    EXPECT_EQ(lines[2]["verdict"], "NotJpeg");
    EXPECT_EQ(lines[2]["why"]["found"], "empty");

    c = RunCheck(grey + " " + two);
    EXPECT_EQ(c.status, 1);
    // The reason of a rejection in the fourth column; a pass has none.
    const std::string rejected = two + "\tFaceCountWrong\t审核不通过\t";
    EXPECT_EQ(c.out.rfind(grey + "\tPassed\t审核通过，保存后退出\t\n" + rejected, 0), 0u) << c.out;
    EXPECT_GT(c.out.size(), c.out.find(rejected) + rejected.size() + 1);
}

// What was given that names no photo is a usage error, before anything is reviewed.
TEST(VrelCheck, PathsThatHoldNoPhotoExitWithTwo) {
    test::TempDir dir;
    std::filesystem::create_directory(dir.File("empty"));
    test::WriteBytes(dir.File("list.txt"), {});
    const std::string grey = test::SamplePath("passed-grey-600x800.jpg");
    const struct {
        std::string args;
        const char* says;
    } cases[] = {
        {grey + " /no/such.jpg", "vrel-check: /no/such.jpg: no such file or folder\n"},
        {dir.File("empty"), "vrel-check: no photo was found in what was given\n"},
        {"--files-from " + dir.File("list.txt"), "vrel-check: no photo was found"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const Completed run = RunCheck("-q " + c.args, true);
        EXPECT_EQ(run.status, 2);
        EXPECT_NE(run.out.find(c.says), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find("Passed"), std::string::npos) << run.out;
    }
}

// The peak resident memory of one vrel-check run on one file, in KB, and its exit status.
std::pair<long, int> PeakOfOneRun(const std::string& path) {
    const pid_t child = fork();
    if (child == 0) {
        execl(VREL_CHECK_EXE, VREL_CHECK_EXE, "-q", "--json", path.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    EXPECT_EQ(wait4(child, &status, 0, &usage), child);
    return {usage.ru_maxrss, WEXITSTATUS(status)};
}

TEST(VrelCheck, HugeDeclaredSizeNeedsLittleMemory) {
    // A 1 KB file whose frame header declares 65000 x 65000 pixels, against a small photo: the
    // program's own size (libraries, detectors, a sanitizer's shadow) is the same for both.
    test::Bytes file = test::DeclaringSize(
        test::EncodeJpeg(cv::Mat(64, 48, CV_8UC3, cv::Scalar(90, 120, 200))), 65000, 65000);
    file.resize(1024, 0);
    test::TempDir dir;
    test::WriteBytes(dir.File("huge.jpg"), file);
    const auto [small_kb, small_status] = PeakOfOneRun(test::SamplePath("passed-grey-600x800.jpg"));
    EXPECT_EQ(small_status, 0);
    const auto [huge_kb, huge_status] = PeakOfOneRun(dir.File("huge.jpg"));
    EXPECT_EQ(huge_status, 1);
    // Far below 65000^2 x 3 bytes.
    EXPECT_LT(huge_kb, small_kb + 64 * 1024) << "peak resident KB, a small photo's " << small_kb;
}

// A folder that cannot be listed is a failure with its reason, never "0 photos reviewed" and
// success. (As root every folder can be listed: the child gives up root first, and runs a copy
// of the program with its data, since the checkout may lie where others cannot enter.)
TEST(VrelCheck, AFolderThatCannotBeListedIsReportedAndFails) {
    test::TempDir dir;
    const std::string program = dir.File("vrel-check");
    for (const std::string name :
         {"vrel-check", "setting.vr", kCascadeFileName, kEyeCascadeFileName}) {
        const std::string from =
            name == "vrel-check" ? std::string(VREL_CHECK_EXE) : test::AppDataDir() + name;
        std::filesystem::copy_file(from, dir.File(name));
    }
    ::chmod(program.c_str(), 0755);
    const std::string locked = dir.File("locked");
    std::filesystem::create_directory(locked);
    test::WriteBytes(locked + "/a.jpg",
                     test::ReadBytes(test::SamplePath("passed-grey-600x800.jpg")));
    ::chmod(locked.c_str(), 0);
    ::chmod(dir.Path().c_str(), 0755);
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], 1);
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
            _exit(126);
        }
        execl(program.c_str(), program.c_str(), "-q", "--json", locked.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<size_t>(n));
    }
    close(out[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ::chmod(locked.c_str(), 0755);
    EXPECT_EQ(WEXITSTATUS(status), 1);
    const auto lines = JsonLines(text);
    ASSERT_EQ(lines.size(), 1u) << text;
    EXPECT_EQ(lines[0]["path"], locked);
    EXPECT_EQ(lines[0]["verdict"], "NotJpeg");
    EXPECT_NE(lines[0]["error"].get<std::string>().find("cannot be listed"), std::string::npos)
        << lines[0];
}

// The report folder's records, as the page reads them.
nlohmann::json ReportRecords(const std::string& dir) {
    const test::Bytes bytes = test::ReadBytes(dir + "/records.js");
    std::string text(bytes.begin(), bytes.end());
    const std::string head = "window.vrelReport = ";
    EXPECT_EQ(text.rfind(head, 0), 0u);
    text = text.substr(head.size(), text.rfind(';') - head.size());
    return nlohmann::json::parse(text);
}

// A report folder from a review, and the same from its JSON Lines without reviewing again:
// the same records, pictures named by number that exist, the page beside them.
TEST(VrelCheck, ReportFolderFromAReviewAndFromRecords) {
    test::TempDir dir;
    const Completed run = RunCheck("--json --report " + dir.File("a") + " " + test::SamplePath(""));
    EXPECT_EQ(run.status, 1);
    const auto lines = JsonLines(run.out);
    const nlohmann::json a = ReportRecords(dir.File("a"));
    ASSERT_EQ(a["records"].size(), lines.size());
    EXPECT_EQ(a["meta"]["photos"], lines.size());
    EXPECT_EQ(a["meta"]["counts"]["Passed"],
              std::count_if(lines.begin(), lines.end(),
                            [](const nlohmann::json& l) { return l["verdict"] == "Passed"; }));
    for (size_t i = 0; i < lines.size(); ++i) {
        const auto& r = a["records"][i];
        EXPECT_EQ(r["path"], lines[i]["path"]);
        EXPECT_EQ(r["verdict"], lines[i]["verdict"]);
        for (const char* picture : {"thumb", "explain"}) {
            if (r.contains(picture)) {
                EXPECT_TRUE(std::filesystem::is_regular_file(dir.File("a/") +
                                                             r[picture].get<std::string>()));
            }
        }
    }
    EXPECT_TRUE(a["records"][0].contains("explain")); // background-rejected.jpg
    // Every photo that any decoder reads has a picture, whatever its verdict (the 400 bytes of
    // file-size-out-of-range.jpg hold no whole picture).
    for (const auto& r : a["records"]) {
        const bool decodes =
            r["path"].get<std::string>().find("file-size-out-of-range") == std::string::npos;
        EXPECT_EQ(r.contains("thumb"), decodes) << r["path"] << " " << r["verdict"];
    }
    for (const char* page : {"index.html", "report.js", "report.css"}) {
        EXPECT_TRUE(std::filesystem::is_regular_file(dir.File("a/") + page)) << page;
    }
    test::WriteBytes(dir.File("records.jsonl"), test::Bytes(run.out.begin(), run.out.end()));
    EXPECT_EQ(
        RunCheck("--report " + dir.File("b") + " --records " + dir.File("records.jsonl")).status,
        1);
    const nlohmann::json b = ReportRecords(dir.File("b"));
    ASSERT_EQ(b["records"].size(), lines.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        nlohmann::json r = b["records"][i];
        EXPECT_EQ(r["photo_url"].get<std::string>().rfind("../", 0), 0u) << r["photo_url"];
        for (const char* key : {"thumb", "photo_url"}) {
            r.erase(key);
        }
        EXPECT_EQ(r, lines[i]);
    }
    EXPECT_EQ(RunCheck("--records " + dir.File("records.jsonl")).status, 2); // needs --report
}

TEST(VrelCheck, SetupErrorsExitWithTwo) {
    test::TempDir dir;
    const Completed missing = RunCheck(
        "--settings " + dir.File("setting.vr") + " " + test::SamplePath("not-centred.jpg"), true);
    EXPECT_EQ(missing.status, 2);
    EXPECT_EQ(missing.out.rfind("setting配置文件丢失！请重新下载程序\nvrel-check: ", 0), 0u)
        << missing.out;
    EXPECT_EQ(RunCheck("").status, 2);
    EXPECT_EQ(RunCheck("--no-such-option x.jpg").status, 2);
    // A backdrop the settings' backdrop test would refuse, or no such colour.
    const std::string sample = test::SamplePath("not-centred.jpg");
    for (const char* colour : {"teal", "blue", "#808080"}) {
        EXPECT_EQ(
            RunCheck("--correct-dir " + dir.File("out") + " --backdrop " + colour + " " + sample)
                .status,
            2)
            << colour;
    }
    // Without the backdrop model: a set-up error only where photos are to be corrected.
    std::filesystem::create_directory(dir.File("data"));
    for (const char* part :
         {"tips", "labels", "haarcascade_frontalface_alt2.xml", "haarcascade_eye.xml"}) {
        std::filesystem::copy(std::string(VREL_APP_DIR "/") + part, dir.File("data/") + part,
                              std::filesystem::copy_options::recursive);
    }
    const std::string data = " --data-dir " + dir.File("data") + " ";
    EXPECT_EQ(RunCheck(data + "--correct-dir " + dir.File("out") + " " + sample).status, 2);
    EXPECT_EQ(RunCheck(data + sample).status, 1);
}

// A slip in the settings is warned of on standard error; the photos are reviewed as before.
TEST(VrelCheck, SettingsSlipsAreWarnedAndTheRunGoesOn) {
    test::TempDir dir;
    test::Bytes text = test::ReadBytes(VREL_SOURCE_DIR "/data/setting.vr");
    const std::string slip = "\ns_mn=0.15\n";
    text.insert(text.end(), slip.begin(), slip.end());
    test::WriteBytes(dir.File("setting.vr"), text);
    const Completed c = RunCheck("--settings " + dir.File("setting.vr") + " " +
                                     test::SamplePath("passed-grey-600x800.jpg"),
                                 true);
    EXPECT_EQ(c.status, 0) << c.out;
    EXPECT_EQ(c.out.rfind("vrel-check: warning: " + dir.File("setting.vr") +
                              ": s_mn: unknown key; did you mean s_min?\n",
                          0),
              0u)
        << c.out;
}

TEST(VrelCheck, SaveDirWritesPassedPhotosThatPassAgain) {
    test::TempDir dir;
    const std::string out = dir.File("out");
    const Completed c = RunCheck("--json --save-dir " + out + " " + test::SamplePath("") + " " +
                                 test::SamplePath("passed-grey-600x800.jpg"));
    // The marked sample cannot be saved within the size limits: an output that was asked for and
    // not written.
    EXPECT_EQ(c.status, 3);
    std::vector<std::string> saved;
    for (const auto& line : JsonLines(c.out)) {
        const bool passed = line["info"] == "审核通过，保存后退出";
        EXPECT_EQ(line.contains("saved") || line.contains("save_error"), passed) << line.dump();
        EXPECT_EQ(line.contains("quality"), passed) << line.dump();
        if (line.contains("saved")) {
            saved.push_back(line["saved"]);
        }
        if (line["verdict"] == "PassedByMarker") {
            // The marked sample is a detailed 512 x 600 portrait: above 39 KB even at quality 60.
            EXPECT_EQ(line["save_error"].get<std::string>().rfind("原始文件太大，请重新选取!", 0),
                      0u);
            EXPECT_FALSE(std::filesystem::exists(out + "/passed-by-marker.jpg"));
        }
    }
    // Every passing sample, the grey one given twice: the second time under the next free name.
    ASSERT_GE(saved.size(), 2u);
    EXPECT_NE(std::find(saved.begin(), saved.end(), out + "/passed-grey-600x800.jpg"), saved.end());
    EXPECT_EQ(saved.back(), out + "/passed-grey-600x800-2.jpg");
    std::string args = "--json";
    for (const auto& path : saved) {
        args += " " + path;
    }
    const Completed again = RunCheck(args);
    EXPECT_EQ(again.status, 0);
    for (const auto& line : JsonLines(again.out)) {
        EXPECT_EQ(line["verdict"], "PassedByMarker");
    }
}

} // namespace
} // namespace vrel

namespace vrel {
namespace {

// A folder of photos copied from the samples, under the names given.
std::string PhotoFolder(test::TempDir& dir,
                        const std::vector<std::pair<std::string, std::string>>& copies) {
    const std::string folder = dir.File("photos");
    std::filesystem::create_directory(folder);
    for (const auto& [name, from] : copies) {
        std::filesystem::copy_file(from, folder + "/" + name);
    }
    return folder;
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(VrelCheck, ResumeAfterAStopAtAnyPointEndsWithOneRecordPerPhoto) {
    test::TempDir dir;
    const std::string photos =
        PhotoFolder(dir, {{"a.jpg", test::SamplePath("passed-grey-600x800.jpg")},
                          {"b.jpg", test::SamplePath("not-centred.jpg")},
                          {"c.jpg", test::SamplePath("face-count-wrong.jpg")},
                          {"d.jpg", test::SamplePath("placement-wrong.jpg")}});
    const std::string whole_file = dir.File("whole.jsonl");
    ASSERT_EQ(RunCheck("-q --json --resume " + whole_file + " " + photos).status, 1);
    const std::string whole = ReadText(whole_file);
    const auto records = JsonLines(whole);
    ASSERT_EQ(records.size(), 4u);
    // Where a stop may leave the file: nothing, within a line, at a line's end, without the
    // last line break, and whole.
    const size_t second = whole.find('\n') + 1, third = whole.find('\n', second) + 1;
    for (const size_t cut :
         {size_t{0}, second / 2, second, third + 7, whole.size() - 1, whole.size()}) {
        SCOPED_TRACE("stopped after " + std::to_string(cut) + " bytes");
        const std::string file = dir.File("resumed.jsonl");
        test::WriteBytes(file, test::Bytes(whole.begin(), whole.begin() + long(cut)));
        EXPECT_EQ(RunCheck("-q --json --resume " + file + " " + photos).status, 1);
        const std::string text = ReadText(file);
        std::map<std::string, nlohmann::json> by_path;
        for (const auto& r : JsonLines(text)) {
            EXPECT_TRUE(by_path.emplace(r["path"], r).second) << r["path"] << " twice";
        }
        ASSERT_EQ(by_path.size(), 4u);
        for (const auto& r : records) {
            EXPECT_EQ(by_path[r["path"]], r);
        }
        // What was whole before the stop is kept as it was, not reviewed again.
        const std::string kept = whole.substr(0, whole.rfind('\n', cut == 0 ? 0 : cut - 1) + 1);
        if (cut >= second) {
            EXPECT_EQ(text.compare(0, kept.size(), kept), 0);
        }
    }
    // A photo changed since its record is reviewed again, and its old record goes.
    std::filesystem::copy_file(test::SamplePath("passed-white-1200x1600.jpg"), photos + "/b.jpg",
                               std::filesystem::copy_options::overwrite_existing);
    const std::string file = dir.File("resumed.jsonl");
    EXPECT_EQ(RunCheck("-q --json --resume " + file + " " + photos).status, 1);
    const auto after = JsonLines(ReadText(file));
    ASSERT_EQ(after.size(), 4u);
    EXPECT_EQ(after.back()["path"], photos + "/b.jpg");
    EXPECT_EQ(after.back()["verdict"], "Passed");
    EXPECT_EQ(RunCheck("--resume " + file + " " + photos).status, 2); // needs --json
}

TEST(VrelCheck, CopiesOfAPhotoAreFlaggedOtherPeopleAreNot) {
    test::TempDir dir;
    const cv::Mat grace = cv::imread(VREL_SOURCE_DIR "/tests/data/grace_hopper.jpg");
    cv::Mat small;
    cv::resize(grace, small, cv::Size(), 0.6, 0.6, cv::INTER_AREA);
    cv::imwrite(dir.File("small.jpg"), small, {cv::IMWRITE_JPEG_QUALITY, 70});
    cv::imwrite(dir.File("crop.jpg"), grace(cv::Rect(10, 0, 492, 580)).clone());
    const std::string photos = PhotoFolder(
        dir, {{"a-beige.jpg", VREL_SOURCE_DIR "/tests/data/correction/beige_wall.jpg"},
              {"b-grace-crop.jpg", dir.File("crop.jpg")},
              {"c-grace-small.jpg", dir.File("small.jpg")},
              {"d-grace.jpg", VREL_SOURCE_DIR "/tests/data/grace_hopper.jpg"},
              {"e-room.jpg", VREL_SOURCE_DIR "/tests/data/correction/room_tight_top.jpg"}});
    const Completed c = RunCheck("--json --report " + dir.File("report") + " " + photos);
    const auto lines = JsonLines(c.out);
    ASSERT_EQ(lines.size(), 5u);
    const std::vector<std::vector<std::string>> expected = {
        {},
        {},
        {photos + "/b-grace-crop.jpg"},
        {photos + "/b-grace-crop.jpg", photos + "/c-grace-small.jpg"},
        {}};
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].value("duplicates", std::vector<std::string>()), expected[i])
            << lines[i]["path"];
        EXPECT_EQ(lines[i]["phash"].get<std::string>().size(), 16u);
        EXPECT_EQ(lines[i]["sha256"].get<std::string>().size(), 64u);
    }
    const nlohmann::json report = ReportRecords(dir.File("report"));
    EXPECT_EQ(report["meta"]["duplicate_groups"], nlohmann::json::parse("[[1, 2, 3]]"));
    EXPECT_FALSE(report["meta"]["id"].get<std::string>().empty());
}

// The decision file the report page exports, for the records of a batch.
std::string DecisionFile(const std::vector<nlohmann::json>& records,
                         const std::map<std::string, std::string>& decided) {
    std::string text = "\xEF\xBB\xBFpath,verdict,decision,note,who,when,corrected,reason,"
                       "file_size,sha256,corrected_sha256\r\n";
    for (const auto& r : records) {
        const std::string path = r["path"];
        const auto decision = decided.find(path.substr(path.rfind('/') + 1));
        text += CsvField(path) + "," + r["verdict"].get<std::string>() + "," +
                (decision == decided.end() ? "" : decision->second) + ",\"备注, \"\"甲\"\"\",,," +
                CsvField(r.value("corrected", "")) + ",," + r["file_size"].dump() + "," +
                r["sha256"].get<std::string>() + "," + r.value("corrected_sha256", "") + "\r\n";
    }
    return text;
}

TEST(VrelCheck, AcceptedPhotosAreWrittenAndPassAgainAChangedPhotoRefusesTheFile) {
    test::TempDir dir;
    const std::string photos =
        PhotoFolder(dir, {{"grey.jpg", test::SamplePath("passed-grey-600x800.jpg")},
                          {"off.jpg", test::SamplePath("not-centred.jpg")},
                          {"two.jpg", test::SamplePath("face-count-wrong.jpg")}});
    const Completed run =
        RunCheck("-q --json --correct-dir " + dir.File("corrected") + " " + photos);
    const auto records = JsonLines(run.out);
    ASSERT_EQ(records.size(), 3u);
    ASSERT_TRUE(records[1].contains("corrected")) << records[1].dump();
    const std::string text =
        DecisionFile(records, {{"grey.jpg", "通过"}, {"off.jpg", "通过"}, {"two.jpg", "退回"}});
    test::WriteBytes(dir.File("decisions.csv"), test::Bytes(text.begin(), text.end()));

    const Completed applied = RunCheck("--json --apply-decisions " + dir.File("decisions.csv") +
                                       " --save-dir " + dir.File("saved"));
    EXPECT_EQ(applied.status, 0) << applied.out;
    const auto written = JsonLines(applied.out);
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(written[1]["source"], records[1]["corrected"]);       // the corrected photo, not the
    EXPECT_EQ(written[1]["saved"], dir.File("saved") + "/off.jpg"); // original, named after it
    const Completed again = RunCheck("--json --ignore-marker " + dir.File("saved/grey.jpg") + " " +
                                     dir.File("saved/off.jpg"));
    EXPECT_EQ(again.status, 0) << again.out;

    // One photo changed since: nothing is written, and the photo is named.
    std::ofstream(photos + "/off.jpg", std::ios::app) << "x";
    const Completed refused = RunCheck("--apply-decisions " + dir.File("decisions.csv") +
                                           " --save-dir " + dir.File("saved-2"),
                                       true);
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.out.find(photos + "/off.jpg: the photo has changed"), std::string::npos)
        << refused.out;
    EXPECT_FALSE(std::filesystem::exists(dir.File("saved-2")));
}

} // namespace
} // namespace vrel
