#include "check/settings.h"
#include "check/settings_warnings.h"
#include "report/messages.h"
#include "setup/app_dir.h"

#include "test_support.h"

#include <gtest/gtest.h>

namespace vrel {
namespace {

TEST(SettingsParser, EmptyTextGivesTableDefaults) {
    const CheckSettings s = ParseCheckSettings("");
    const CheckSettings d;
    EXPECT_EQ(s.min_width, 480);
    EXPECT_EQ(s.max_width, 4800);
    EXPECT_EQ(s.min_height, 640);
    EXPECT_EQ(s.max_height, 6400);
    EXPECT_EQ(s.pic_min_size, 0);
    EXPECT_EQ(s.pic_max_size, -1);
    EXPECT_EQ(s.pic_out_min_size, 20);
    EXPECT_EQ(s.pic_out_max_size, 39);
    EXPECT_EQ(s.dst_width, 480);
    EXPECT_EQ(s.dst_height, 640);
    EXPECT_EQ(s.face_left_right_dif, 10);
    EXPECT_EQ(s.jc_row, 138);
    EXPECT_EQ(s.jc_col, 15);
    EXPECT_EQ(s.jc_precision, 5);
    EXPECT_EQ(s.cast, 0);
    EXPECT_EQ(s.bgc, 0);
    for (float f : {s.ratio_y_min, s.ratio_y_max, s.ratio_x_min, s.ratio_x_max, s.s_min, s.i_min,
                    s.i_max, s.blue_h_min, s.blue_h_max, s.blue_s_min, s.blue_s_max}) {
        EXPECT_EQ(f, 0.0f);
    }
}

TEST(SettingsParser, OtherSectionsAreIgnoredAndNamesMatchInAnyCase) {
    const CheckSettings s = ParseCheckSettings("[other]\nmin_width=1\n"
                                               "[ZPSHCS]\nMin_Width = 500\nS_MIN=0.25\n"
                                               "min_width=600\n");
    EXPECT_EQ(s.min_width, 500); // the first occurrence wins
    EXPECT_EQ(s.s_min, 0.25f);
}

struct IntCase {
    const char* text;
    int32_t expected;
};

class IntValues : public ::testing::TestWithParam<IntCase> {};

TEST_P(IntValues, SignAndLeadingDigits) {
    const IntCase& c = GetParam();
    EXPECT_EQ(ParseCheckSettings(std::string("[zpshcs]\npic_max_size=") + c.text).pic_max_size,
              c.expected)
        << c.text;
}

INSTANTIATE_TEST_SUITE_P(Table, IntValues,
                         ::testing::Values(IntCase{"-5", -5}, IntCase{"12abc", 12},
                                           IntCase{"+7", 7}, IntCase{"abc", -1}, IntCase{"", -1},
                                           IntCase{"-", -1}, IntCase{"0", 0},
                                           IntCase{"3000000", 3000000},
                                           IntCase{"99999999999", 2147483647},
                                           IntCase{"-99999999999", -2147483647 - 1}));

struct FloatCase {
    const char* text;
    float expected;
};

class FloatValues : public ::testing::TestWithParam<FloatCase> {};

TEST_P(FloatValues, DecimalNumberAtTheStartOfNineteenCharacters) {
    const FloatCase& c = GetParam();
    EXPECT_EQ(ParseCheckSettings(std::string("[zpshcs]\nratio_y_min=") + c.text).ratio_y_min,
              c.expected)
        << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Table, FloatValues,
    ::testing::Values(FloatCase{"0.35abc", 0.35f}, FloatCase{"abc", 0.0f}, FloatCase{"", 0.0f},
                      FloatCase{"-0.5", -0.5f}, FloatCase{".5", 0.5f}, FloatCase{"5.", 5.0f},
                      FloatCase{"1e-1", 0.1f}, FloatCase{"2e", 2.0f}, FloatCase{"+0.25", 0.25f},
                      // the 20th character and beyond are not read
                      FloatCase{"0.12345678901234567890", 0.123456789012345678f},
                      FloatCase{"0000000000000000001", 1.0f},
                      FloatCase{"00000000000000000001", 0.0f}, FloatCase{"0x10", 0.0f},
                      FloatCase{"inf", 0.0f}));

TEST(SettingsFile, MissingFileIsReported) {
    test::TempDir dir;
    EXPECT_FALSE(ReadCheckSettingsFile(dir.File("setting.vr")).has_value());
}

TEST(SettingsFile, ShippedFileSetsEveryThreshold) {
    const auto s = ReadCheckSettingsFile(VREL_SOURCE_DIR "/data/setting.vr");
    ASSERT_TRUE(s.has_value());
    EXPECT_LT(s->ratio_y_min, s->ratio_y_max);
    EXPECT_LT(s->ratio_x_min, s->ratio_x_max);
    EXPECT_GT(s->s_min, 0.0f);
    EXPECT_LT(s->i_max, 1.0f);
    EXPECT_LE(s->jc_row, s->dst_height);
    EXPECT_LE(s->jc_col, s->dst_width);
}

// Slips in a settings file are warned of, each once, with what the review reads instead; the
// shipped file has none.
TEST(SettingsWarnings, SlipsAreNamedWithWhatIsRead) {
    const test::Bytes bytes = test::ReadBytes(VREL_SOURCE_DIR "/data/setting.vr");
    const std::string shipped(bytes.begin(), bytes.end());
    EXPECT_TRUE(SettingsWarnings(shipped).empty());
    using Kind = SettingsWarning::Kind;
    const struct {
        const char* lines;
        SettingsWarning warning;
        const char* line;
    } cases[] = {
        {"s_mn=0.15",
         {Kind::UnknownKey, "s_mn", "0.15", "", "s_min"},
         "s_mn: unknown key; did you mean s_min?"},
        {"Ratio_Y_Mx=0.4",
         {Kind::UnknownKey, "ratio_y_mx", "0.4", "", "ratio_y_max"},
         "ratio_y_mx: unknown key; did you mean ratio_y_max?"},
        {"colour=blue",
         {Kind::UnknownKey, "colour", "blue", "", ""},
         "colour: unknown key; it is ignored"},
        {"pic_out_max_size=39KB",
         {Kind::NotANumber, "pic_out_max_size", "39KB", "39", ""},
         "pic_out_max_size=39KB: not a plain number; read as 39"},
        {"s_min=15%",
         {Kind::NotANumber, "s_min", "15%", "15", ""},
         "s_min=15%: not a plain number; read as 15"},
        {"ratio_y_max=0,45",
         {Kind::DecimalComma, "ratio_y_max", "0,45", "0", "0.45"},
         "ratio_y_max=0,45: a decimal comma is not read; read as 0 (write 0.45)"},
        {"bgc=2",
         {Kind::NotASwitch, "bgc", "2", "0", ""},
         "bgc=2: only 0 or 1 is meant; read as 0"},
        {"cast=-1",
         {Kind::NotASwitch, "cast", "-1", "0", ""},
         "cast=-1: only 0 or 1 is meant; read as 0"},
        {"s_min=15",
         {Kind::NotAShare, "s_min", "15", "15", ""},
         "s_min=15: a share between 0 and 1 is meant"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lines);
        // The slip first: the first of a key given twice is the one read.
        const std::string text = "[zpshcs]\n" + std::string(c.lines) + "\n" +
                                 shipped.substr(shipped.find("[zpshcs]") + 8);
        const std::vector<SettingsWarning> warnings = SettingsWarnings(text);
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_EQ(warnings[0], c.warning);
        EXPECT_EQ(WarningLine(warnings[0]), c.line);
        EXPECT_FALSE(SettingsWarningText(warnings[0]).empty());
    }
    // A threshold left out reads as 0; the blue ones matter only where blue is accepted.
    const std::vector<SettingsWarning> missing =
        SettingsWarnings("[zpshcs]\nratio_y_min=0.1\nratio_y_max=0.5\nratio_x_min=0.3\n"
                         "ratio_x_max=0.7\ni_max=0.6\n[other]\ns_min=0.1\n");
    ASSERT_EQ(missing.size(), 1u);
    EXPECT_EQ(WarningLine(missing[0]), "s_min: missing; read as 0");
    EXPECT_EQ(SettingsWarningText(missing[0]), "s_min：缺少此设置项，按 0 读取");
    EXPECT_EQ(SettingsWarnings("[zpshcs]\nbgc=1\n").size(), 11u);
}

} // namespace
} // namespace vrel

namespace vrel {
namespace {

TEST(AppDir, BesideTheExecutableOrInTheInstallationsLibFolder) {
    test::TempDir root;
    namespace fs = std::filesystem;
    for (const char* dir : {"build/bin", "usr/bin", "usr/lib/vrelpicturecheck", "other/bin"}) {
        fs::create_directories(root.File(dir));
    }
    test::WriteBytes(root.File("build/bin/setting.vr"), {});
    test::WriteBytes(root.File("usr/lib/vrelpicturecheck/setting.vr"), {});
    const struct {
        const char* exe;
        const char* dir;
    } cases[] = {
        {"build/bin/vrel-check", "build/bin/"},
        {"usr/bin/vrel-check", "usr/lib/vrelpicturecheck/"},
        {"other/bin/vrel-check", "other/bin/"}, // no data anywhere: its own folder, as ever
    };
    for (const auto& c : cases) {
        EXPECT_EQ(AppDirFor(root.File(c.exe)), root.File(c.dir)) << c.exe;
    }
    EXPECT_EQ(AppDirFor("vrel-check"), "");
}

} // namespace
} // namespace vrel
