// Files written into a folder appear whole or not at all, and never replace what is there.
#include "output/output_folder.h"
#include "platform/files.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <thread>

namespace vrel {
namespace {

using test::Bytes;

TEST(OutputFolder, TakenNamesGetTheNextFreeSuffixAndAreKept) {
    test::TempDir dir;
    test::WriteBytes(dir.File("p001.jpg"), {1}); // from an earlier run
    test::WriteBytes(dir.File("p001-3.jpg"), {3});
    OutputFolder folder(dir.Path(), ".jpg");
    const struct {
        const char* input;
        const char* expected;
    } cases[] = {
        {"in/p001.jpeg", "p001-2.jpg"},
        {"other/p001.JPG", "p001-4.jpg"},
        {"p002.jpg", "p002.jpg"},
        {"p001-2.jpg", "p001-2-2.jpg"},
        {"/", "photo.jpg"},
        {"..", "photo-2.jpg"},
    };
    for (const auto& c : cases) {
        const OutputFolder::Written w = folder.Write(c.input, {9});
        ASSERT_TRUE(w.Ok()) << w.error.Detail();
        EXPECT_EQ(w.path, dir.File(c.expected)) << c.input;
    }
    EXPECT_EQ(test::ReadBytes(dir.File("p001.jpg")), Bytes{1});
    EXPECT_EQ(test::ReadBytes(dir.File("p001-3.jpg")), Bytes{3});
}

TEST(OutputFolder, ReplacingIsOptInAndStillOneNamePerInput) {
    test::TempDir dir;
    test::WriteBytes(dir.File("a.jpg"), {1});
    OutputFolder folder(dir.Path(), ".jpg", true);
    EXPECT_EQ(folder.Write("x/a.jpg", {2}).path, dir.File("a.jpg"));
    EXPECT_EQ(test::ReadBytes(dir.File("a.jpg")), Bytes{2});
    EXPECT_EQ(folder.Write("y/a.jpg", {3}).path, dir.File("a-2.jpg")); // same run: not replaced
    EXPECT_EQ(test::ReadBytes(dir.File("a.jpg")), Bytes{2});
    EXPECT_EQ(test::FileNames(dir.Path()), (std::vector<std::string>{"a-2.jpg", "a.jpg"}));
}

TEST(OutputFolder, NamesNearTheLengthLimitAreShortenedWholeCharacters) {
    test::TempDir dir;
    std::string stem;
    for (int i = 0; i < 90; ++i) {
        stem += "照"; // three bytes each: 270 bytes
    }
    OutputFolder folder(dir.Path(), ".jpg");
    for (int i = 0; i < 3; ++i) {
        const OutputFolder::Written w = folder.Write(stem + ".jpg", {1});
        ASSERT_TRUE(w.Ok()) << w.error.Detail();
        const std::string name = std::filesystem::path(w.path).filename().string();
        EXPECT_LE(name.size(), 255u);
        EXPECT_EQ(name.size() % 3, i == 0 ? 1u : 0u) << name; // ".jpg", "-2.jpg", "-3.jpg"
    }
    EXPECT_EQ(OutputFolder::NameFor("ab", 1, ".jpg", 5), "a.jpg");
    EXPECT_EQ(OutputFolder::NameFor("abcdef", 12, ".jpg", 10), "abc-12.jpg");
}

TEST(OutputFolder, WritersAtTheSameMomentNeverShareAName) {
    test::TempDir dir;
    constexpr int kWriters = 4, kEach = 25;
    std::vector<std::thread> writers;
    for (int t = 0; t < kWriters; ++t) {
        writers.emplace_back([&, t] {
            OutputFolder folder(dir.Path(), ".jpg"); // as separate processes would
            for (int i = 0; i < kEach; ++i) {
                const Bytes content(100 + t, static_cast<unsigned char>(t));
                EXPECT_TRUE(folder.Write("p" + std::to_string(i % 5) + ".jpg", content).Ok());
            }
        });
    }
    for (auto& w : writers) {
        w.join();
    }
    const auto names = test::FileNames(dir.Path());
    EXPECT_EQ(names.size(), size_t{kWriters * kEach});
    for (const std::string& name : names) {
        const Bytes content = test::ReadBytes(dir.File(name));
        ASSERT_GE(content.size(), 100u) << name;
        EXPECT_EQ(content.size(), 100u + content[0]) << name; // whole, from one writer
    }
}

TEST(OutputFolder, FailuresSayWhyAndLeaveNothing) {
    test::TempDir dir;
    OutputFolder missing(dir.File("no/such/folder"), ".jpg");
    const OutputFolder::Written w = missing.Write("a.jpg", {1});
    EXPECT_FALSE(w.Ok());
    EXPECT_NE(w.error.Detail().find("No such file or directory"), std::string::npos)
        << w.error.Detail();
    OutputFolder proc("/proc", ".png");
    EXPECT_FALSE(proc.Write("a.jpg", {1}).Ok());
    EXPECT_TRUE(test::FileNames(dir.Path()).empty());
}

TEST(OutputFolder, LeftoversOfKilledWritersAreRemovedOthersKept) {
    test::TempDir dir;
    const std::string dead = std::string(platform::kTemporaryPrefix) + "999999999-0";
    const std::string alive =
        std::string(platform::kTemporaryPrefix) + std::to_string(platform::ProcessId()) + "-7";
    for (const std::string& name : {dead, alive, std::string("photo.jpg")}) {
        test::WriteBytes(dir.File(name), {1});
    }
    OutputFolder folder(dir.Path(), ".jpg");
    EXPECT_EQ(test::FileNames(dir.Path()), (std::vector<std::string>{alive, "photo.jpg"}));
}

TEST(WriteWholeFile, WithoutReplacingATakenNameIsRefused) {
    test::TempDir dir;
    const std::string path = dir.File("a.jpg");
    EXPECT_EQ(platform::WriteWholeFile(path, {1, 2}, false).status, platform::WriteStatus::Written);
    EXPECT_EQ(platform::WriteWholeFile(path, {3}, false).status, platform::WriteStatus::NameTaken);
    EXPECT_EQ(test::ReadBytes(path), (Bytes{1, 2}));
    EXPECT_EQ(platform::WriteWholeFile(path, {4}, true).status, platform::WriteStatus::Written);
    EXPECT_EQ(test::ReadBytes(path), Bytes{4});
    EXPECT_EQ(test::FileNames(dir.Path()), std::vector<std::string>{"a.jpg"});
}

} // namespace
} // namespace vrel
