// The decision file an operator hands back: read as the report page writes it (and as a
// spreadsheet may save it again), its faults named by line.
#include "decisions/decisions.h"

#include <gtest/gtest.h>

namespace vrel {
namespace {

const char* kHeader = "path,verdict,decision,note,who,when,corrected,reason,file_size,sha256,"
                      "corrected_sha256";

TEST(Decisions, RowsAsThePageAndSpreadsheetsWriteThem) {
    const std::string text = std::string("\xEF\xBB\xBF") + kHeader +
                             "\r\n"
                             "a.jpg,Passed,通过,,张,2026-12-09T10:00:00Z,,,12,aa,\r\n"
                             "\"b,1.jpg\",NotCentred,退回,\"请重拍，\"\"正面\"\"\r\n第二行\",,,"
                             "corr/b.jpg,理由,13,bb,cc\r\n"
                             "\r\n"
                             "c.jpg,Passed,,,,,,,14,dd,";
    const auto rows = ParseDecisions(text);
    ASSERT_TRUE(rows) << rows.Err().Detail();
    ASSERT_EQ(rows->size(), 3u);
    const Decision& a = (*rows)[0];
    EXPECT_EQ(a.path, "a.jpg");
    EXPECT_EQ(a.kind, DecisionKind::Accepted);
    EXPECT_EQ(a.who, "张");
    EXPECT_EQ(a.file_size, 12u);
    EXPECT_EQ(a.sha256, "aa");
    const Decision& b = (*rows)[1];
    EXPECT_EQ(b.path, "b,1.jpg");
    EXPECT_EQ(b.kind, DecisionKind::SentBack);
    EXPECT_EQ(b.note, "请重拍，\"正面\"\r\n第二行");
    EXPECT_EQ(b.corrected, "corr/b.jpg");
    EXPECT_EQ(b.corrected_sha256, "cc");
    EXPECT_EQ(b.line, 3u);
    EXPECT_EQ((*rows)[2].kind, DecisionKind::Undecided);
    EXPECT_EQ((*rows)[2].line, 6u); // the note's line break counts
}

TEST(Decisions, FaultsAreNamedByLine) {
    const std::string h = std::string(kHeader) + "\n";
    const struct {
        std::string text;
        const char* names;
    } cases[] = {
        {"path,decision\n", "no column 'file_size'"},
        {h + "a.jpg,Passed,maybe,,,,,,1,aa,\n", "line 2: the decision 'maybe'"},
        {h + "a.jpg,Passed,通过,\"open,,,,,1,aa,\n", "line 2: a quoted field is not closed"},
        {h + "a.jpg,Passed,通过,\"x\"y,,,,,1,aa,\n", "line 2: text after a quoted field"},
        {h + ",Passed,通过,,,,,,1,aa,\n", "line 2: no path"},
    };
    for (const auto& c : cases) {
        const auto rows = ParseDecisions(c.text);
        ASSERT_FALSE(rows) << c.text;
        EXPECT_NE(rows.Err().Detail().find(c.names), std::string::npos) << rows.Err().Detail();
    }
    // A size that is no count is no size: the photo is refused as one the file does not name.
    const auto rows = ParseDecisions(h + "a.jpg,Passed,通过,,,,,,-1,aa,\n");
    ASSERT_TRUE(rows);
    EXPECT_FALSE((*rows)[0].file_size.has_value());
    EXPECT_NE(ChangedSince((*rows)[0]).find("no file_size or sha256"), std::string::npos);
}

} // namespace
} // namespace vrel
