// vrel-check under faults and odd input: no lost file, no failure behind status 0, no set-up
// error reported as verdicts, no damaged photo passed, and nothing on standard error but the
// tool's own messages.
#include "check/check_run.h"
#include "cli/batch.h"

#include "process.h"
#include "test_support.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <algorithm>

#include <chrono>
#include <random>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace vrel {
namespace {

using test::JsonLines;

using test::Bytes;

test::Finished Check(std::vector<std::string> args, const std::string& input = "",
                     const std::function<void()>& prepare = {}) {
    args.insert(args.begin(), VREL_CHECK_EXE);
    return test::RunProgram(args, input, prepare);
}

Bytes CutSample() {
    Bytes bytes = test::ReadBytes(test::SamplePath("passed-grey-600x800.jpg"));
    bytes.resize(50000);
    return bytes;
}

TEST(DamagedPhoto, IsRejectedWithTipFourAndNeverSaved) {
    test::TempDir dir;
    Bytes marked = CutSample();
    marked.insert(marked.end(), std::begin(kPassMarker), std::end(kPassMarker));
    test::WriteBytes(dir.File("cut.jpg"), CutSample());
    test::WriteBytes(dir.File("marked.jpg"), marked);
    const std::string bypass = "[zpshcs]\ncast=1\n";
    test::WriteBytes(dir.File("bypass.vr"), Bytes(bypass.begin(), bypass.end()));
    const struct {
        const char* what;
        std::vector<std::string> args;
    } runs[] = {
        {"reviewed", {"cut.jpg", "marked.jpg"}},
        {"bypassed", {"--settings", dir.File("bypass.vr"), "cut.jpg"}},
    };
    for (const auto& run : runs) {
        SCOPED_TRACE(run.what);
        std::vector<std::string> args = {"--json", "--save-dir", dir.File("out")};
        for (const std::string& a : run.args) {
            args.push_back(a[0] != '-' && a.find('/') == std::string::npos ? dir.File(a) : a);
        }
        const test::Finished f = Check(args);
        EXPECT_EQ(f.status, 1);
        for (const auto& line : JsonLines(f.out)) {
            EXPECT_EQ(line["verdict"], "PixelSizeOutOfRange");
            EXPECT_EQ(line["tip"], "tips/state4.jpg");
            EXPECT_NE(line["error"].get<std::string>().find("damaged"), std::string::npos);
            EXPECT_FALSE(line.contains("saved"));
        }
        EXPECT_TRUE(test::FileNames(dir.File("out")).empty());
    }
}

TEST(SaveDir, TwoProcessesSavingTheSameNamesKeepEveryFile) {
    test::TempDir dir;
    std::filesystem::create_directory(dir.File("in"));
    const Bytes photo = test::ReadBytes(test::SamplePath("passed-grey-600x800.jpg"));
    constexpr int kPhotos = 10;
    for (int i = 0; i < kPhotos; ++i) {
        test::WriteBytes(dir.File("in/p" + std::to_string(100 + i) + ".jpg"), photo);
    }
    test::Finished runs[2];
    std::thread a([&] {
        runs[0] = Check({"-j", "1", "--save-dir", dir.File("out"), dir.File("in")});
    });
    std::thread b([&] {
        runs[1] = Check({"-j", "1", "--save-dir", dir.File("out"), dir.File("in")});
    });
    a.join();
    b.join();
    EXPECT_EQ(runs[0].status, 0) << runs[0].err;
    EXPECT_EQ(runs[1].status, 0) << runs[1].err;
    const auto saved = test::FileNames(dir.File("out"));
    ASSERT_EQ(saved.size(), size_t{2 * kPhotos});
    std::vector<std::string> args = {"--json"};
    for (const std::string& name : saved) {
        args.push_back(dir.File("out/" + name));
    }
    for (const auto& line : JsonLines(Check(args).out)) {
        EXPECT_EQ(line["verdict"], "PassedByMarker") << line["path"];
    }
}

// The photo is saved onto a file system with no room left: in a mount namespace of its own
// where the test may mount one, else under a file-size limit.
TEST(SaveDir, FullDiskGivesStatusThreeWithTheCauseAndKeepsTheOldFile) {
    test::TempDir dir;
    const std::string out = dir.File("out");
    std::filesystem::create_directory(out);
    const std::string sample = test::SamplePath("passed-grey-600x800.jpg");
    const std::string script =
        "mount -t tmpfs -o size=64k tmpfs \"$1\" || exit 99\n"
        "printf old > \"$1/passed-grey-600x800.jpg\"\n"
        "dd if=/dev/zero of=\"$1/filler\" bs=1k count=256 2>/dev/null\n"
        "\"$2\" --json --overwrite --save-dir \"$1\" \"$3\"; s=$?\n"
        "\"$2\" --save-dir \"$1\" \"$3\" >&2\n"
        "[ \"$(cat \"$1/passed-grey-600x800.jpg\")\" = old ] && echo KEPT >&2\n"
        "exit $s\n";
    test::Finished f = test::RunProgram(
        {"/usr/bin/unshare", "-m", "sh", "-c", script, "sh", out, VREL_CHECK_EXE, sample});
    std::string cause = "No space left on device";
    if (f.status != 3 || f.err.find("KEPT") == std::string::npos) {
        // No mount here: a file-size limit has the same effect on the writer.
        cause = "File too large";
        test::WriteBytes(out + "/passed-grey-600x800.jpg", {'o', 'l', 'd'});
        f = Check({"--json", "--overwrite", "--save-dir", out, sample}, "", [] {
            const rlimit limit{4096, 4096};
            setrlimit(RLIMIT_FSIZE, &limit);
        });
        const test::Finished text = Check({"--save-dir", out, sample}, "", [] {
            const rlimit limit{4096, 4096};
            setrlimit(RLIMIT_FSIZE, &limit);
        });
        f.err += text.out;
        if (test::ReadBytes(out + "/passed-grey-600x800.jpg") == Bytes{'o', 'l', 'd'}) {
            f.err += "KEPT";
        }
        EXPECT_EQ(test::FileNames(out), std::vector<std::string>{"passed-grey-600x800.jpg"});
    }
    EXPECT_EQ(f.status, 3);
    const auto lines = JsonLines(f.out);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["verdict"], "Passed");
    EXPECT_FALSE(lines[0].contains("saved"));
    EXPECT_NE(lines[0]["save_error"].get<std::string>().find(cause), std::string::npos)
        << lines[0]["save_error"];
    EXPECT_NE(f.err.find("save_error: "), std::string::npos) << f.err; // the text output too
    EXPECT_NE(f.err.find(cause), std::string::npos) << f.err;
    EXPECT_NE(f.err.find("KEPT"), std::string::npos) << f.err;
}

TEST(Outputs, EveryUnwrittenOutputGivesStatusThree) {
    test::TempDir dir;
    const std::string sample = test::SamplePath("passed-grey-600x800.jpg");
    const auto limit = [] {
        const rlimit small{200, 200};
        setrlimit(RLIMIT_FSIZE, &small);
    };
    const test::Finished csv = Check({"--csv", dir.File("r.csv"), sample, sample}, "", limit);
    EXPECT_EQ(csv.status, 3);
    EXPECT_NE(csv.err.find("r.csv"), std::string::npos) << csv.err;
    const test::Finished annotate = Check({"--json", "--annotate", "/proc", sample});
    EXPECT_EQ(annotate.status, 3);
    const auto lines = JsonLines(annotate.out);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].contains("annotate_error")) << lines[0].dump();
}

TEST(SaveDir, KilledAtAnyMomentLeavesNoStrayFile) {
    test::TempDir dir;
    std::filesystem::create_directory(dir.File("in"));
    const Bytes photo = test::ReadBytes(test::SamplePath("passed-grey-600x800.jpg"));
    for (int i = 0; i < 30; ++i) {
        test::WriteBytes(dir.File("in/p" + std::to_string(100 + i) + ".jpg"), photo);
    }
    std::filesystem::create_directory(dir.File("out"));
    // Every name that appears in the folder (the writer links each file whole into place).
    const int watch = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, dir.File("out").c_str(), IN_CREATE | IN_MOVED_TO), 0);
    auto wait_for_names = [&](int count) {
        alignas(inotify_event) char events[4096];
        for (int seen = 0; seen < count;) {
            pollfd ready{watch, POLLIN, 0};
            if (poll(&ready, 1, 60'000) != 1) {
                return; // the run ended, or stalled: killed all the same
            }
            const ssize_t n = read(watch, events, sizeof events);
            for (ssize_t at = 0; at < n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(events + at);
                seen += e->len > 0 && e->name[0] != '.';
                at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            }
        }
    };
    std::mt19937 random(7);
    for (int round = 0; round < 6; ++round) {
        const pid_t pid = fork();
        if (pid == 0) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            execl(VREL_CHECK_EXE, VREL_CHECK_EXE, "-q", "--save-dir", dir.File("out").c_str(),
                  dir.File("in").c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        // Killed while it saves, after a number of photos of its own in each round.
        wait_for_names(1 + static_cast<int>(random() % 4));
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    close(watch);
    std::vector<std::string> args = {"--json", "--quiet"};
    for (const std::string& name : test::FileNames(dir.File("out"))) {
        EXPECT_EQ(name.rfind(".jpg"), name.size() - 4) << name;
        args.push_back(dir.File("out/" + name));
    }
    ASSERT_GT(args.size(), 2u) << "nothing was saved before the kills";
    for (const auto& line : JsonLines(Check(args).out)) { // every file there is whole
        EXPECT_EQ(line["verdict"], "PassedByMarker") << line["path"];
    }
}

void WriteText(const std::string& path, const std::string& text) {
    test::WriteBytes(path, Bytes(text.begin(), text.end()));
}

TEST(SetupErrors, StopWithStatusTwoBeforeAnyReview) {
    test::TempDir dir;
    std::filesystem::create_directory(dir.File("folder"));
    std::filesystem::create_directory(dir.File("empty"));
    const std::string shipped = VREL_SOURCE_DIR "/data/setting.vr";
    // The shipped settings with one key set first (the first occurrence of a key counts).
    auto settings = [&](const std::string& name, const std::string& first) {
        const Bytes base = test::ReadBytes(shipped);
        std::string text(base.begin(), base.end());
        const size_t section = text.find("[zpshcs]");
        text.insert(text.find('\n', section) + 1, first);
        WriteText(dir.File(name), first.empty() ? "; nothing here\n" : text);
        return dir.File(name);
    };
    const std::string sample = test::SamplePath("passed-grey-600x800.jpg");
    const struct {
        const char* what;
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {"settings is a folder", {"--settings", dir.File("folder"), sample}, "not a file"},
        {"no settings file", {"--settings", dir.File("none.vr"), sample}, "none.vr"},
        {"no [zpshcs] section", {"--settings", settings("nosection.vr", ""), sample}, "[zpshcs]"},
        {"dst_width 0", {"--settings", settings("zero.vr", "dst_width=0\n"), sample}, "dst_width"},
        {"dst_width huge",
         {"--settings", settings("huge.vr", "dst_width=2000000000\n"), sample},
         "too large"},
        {"bounds reversed",
         {"--settings", settings("order.vr", "min_width=5000\n"), sample},
         "min_width"},
        {"no face detector", {"--data-dir", dir.File("empty"), sample}, "face detector"},
        {"list is a folder", {"--files-from", dir.File("folder")}, "folder"},
        {"list missing", {"--files-from", dir.File("none.txt")}, "none.txt"},
        {"jobs not a number", {"-j", "abc", sample}, "--jobs takes a whole number from 1 to 256"},
        {"jobs twice", {"--jobs", "2", "--jobs", "3", sample}, "--jobs may be given only once"},
        {"nothing to review", {}, "PATH"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const test::Finished f = Check(c.args);
        EXPECT_EQ(f.status, 2);
        EXPECT_EQ(f.out, "");
        EXPECT_NE(f.err.find(c.message), std::string::npos) << f.err;
    }
    // A section with keys missing keeps the defaults, as it always has.
    WriteText(dir.File("partial.vr"), "[zpshcs]\ncast=0\n");
    EXPECT_EQ(Check({"--settings", dir.File("partial.vr"), sample}).status, 1);
}

TEST(FilesFrom, ListsAreReadAsWrittenAfterThePaths) {
    test::TempDir dir;
    const std::string grey = test::SamplePath("passed-grey-600x800.jpg");
    const std::string white = test::SamplePath("passed-white-1200x1600.jpg");
    std::string list = "\xEF\xBB\xBF" + white + "\r\n\r\n" + grey + "\n";
    list += std::string("bad") + '\0' + "name.jpg\n";
    WriteText(dir.File("list.txt"), list);
    const test::Finished f =
        Check({"--json", "--files-from", dir.File("list.txt"), test::SamplePath("not-jpeg.jpg")});
    EXPECT_EQ(f.status, 1);
    const auto lines = JsonLines(f.out);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0]["verdict"], "NotJpeg"); // the PATH first
    EXPECT_EQ(lines[1]["path"], white);        // without the byte order mark
    EXPECT_EQ(lines[1]["verdict"], "Passed");
    EXPECT_EQ(lines[2]["path"], grey);
    EXPECT_EQ(lines[3]["verdict"], "NotJpeg"); // never reviewed under a shorter name
    EXPECT_NE(lines[3]["error"].get<std::string>().find("NUL"), std::string::npos);
    EXPECT_EQ(lines[3]["path"], std::string("bad") + '\0' + "name.jpg");
}

TEST(Streams, StandardErrorCarriesOnlyTheToolsOwnMessages) {
    test::TempDir dir;
    test::WriteBytes(dir.File("cut.jpg"), CutSample());
    test::WriteBytes(dir.File("garbage.jpg"), {0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F'});
    const std::vector<std::string> inputs = {dir.File("cut.jpg"), dir.File("garbage.jpg"),
                                             VREL_SOURCE_DIR "/tests/data/truncated.jpg",
                                             VREL_SOURCE_DIR "/samples"};
    std::vector<std::string> args = {"--json", "--quiet", "--annotate", dir.File("pictures")};
    args.insert(args.end(), inputs.begin(), inputs.end());
    const test::Finished f = Check(args);
    EXPECT_EQ(f.err, "");
    // One JSON object per line, each parsed.
    EXPECT_EQ(JsonLines(f.out).size(), inputs.size() - 1 + ExpandPath(inputs.back()).size());
    // Without --quiet, only the summary.
    const test::Finished loud = Check({dir.File("cut.jpg")});
    EXPECT_EQ(loud.err.rfind("1 photos reviewed", 0), 0u) << loud.err;
}

TEST(TextOutput, ColumnsHoldWhateverTheFileNames) {
    test::TempDir dir;
    const std::string odd = dir.File("a\tb\nc\\d.jpg");
    test::WriteBytes(odd, test::ReadBytes(test::SamplePath("background-rejected.jpg")));
    const test::Finished f = Check({"--csv", dir.File("r.csv"), odd});
    // Four columns on one line: the reason, the fourth, holds no tab or line break either.
    const std::string head = dir.File("a\\tb\\nc\\\\d.jpg") + "\tBackgroundRejected\t审核不通过\t";
    EXPECT_EQ(f.out.rfind(head, 0), 0u) << f.out;
    EXPECT_EQ(std::count(f.out.begin(), f.out.end(), '\t'), 3) << f.out;
    EXPECT_EQ(f.out.find('\n'), f.out.size() - 1) << f.out;
    const Bytes csv = test::ReadBytes(dir.File("r.csv"));
    const std::string text(csv.begin(), csv.end());
    EXPECT_NE(text.find("background_strip,background_row,background_col"), std::string::npos);
    EXPECT_NE(text.find(",left,"), std::string::npos) << text;
}

TEST(Review, AbsurdSettingsEndInARejectionNotACrash) {
    CheckSettings s = test::ShippedSettings();
    s.dst_width = 2000000000;
    PhotoReviewer reviewer(s, test::AppDataDir());
    const ReviewResult r = reviewer.Review(test::SamplePath("passed-grey-600x800.jpg"));
    EXPECT_EQ(r.verdict, CheckVerdict::PixelSizeOutOfRange);
    EXPECT_EQ(r.error.Code(), ErrorCode::Invalid);
    EXPECT_TRUE(r.result_image.empty());
}

} // namespace
} // namespace vrel
