// The skip list's rows and judgement (skip_list.h), natively.
#include <gtest/gtest.h>

#include <stdexcept>

#include "e2e/skip_list.h"

namespace {

using skip_list::Row;
using skip_list::Skip;

TEST(SkipList, ReadsRowsCommentsBlankLinesAndWindowsLineEnds) {
    const std::vector<Row> rows = skip_list::parse(
        "# case\trunner\twhy\n"
        "\n"
        "Launcher.A\twine-x64\tthis Wine gives no close event\r\n"
        "   \n"
        "Launcher.B\twindows-latest-x64\ta hosted runner: no links # not a comment\n"
        "Discovery.C\twine-x86\tthe last line, without its line feed");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].test, "Launcher.A");
    EXPECT_EQ(rows[0].runner, "wine-x64");
    EXPECT_EQ(rows[0].why, "this Wine gives no close event");  // no CR
    EXPECT_EQ(rows[1].why, "a hosted runner: no links # not a comment");
    EXPECT_EQ(rows[2].why, "the last line, without its line feed");
}

TEST(SkipList, RefusesRowsOfAnotherShapeNamingTheLine) {
    struct Case {
        const char* text;
        const char* said;
    };
    const Case cases[] = {
        {"A.B\twine-x64\n", "line 1: not Suite.Case<TAB>runner<TAB>why"},
        {"# fine\nA.B\twine-x64\t\n", "line 2: an empty field"},
        {"A.B\t \twhy\n", "line 1: an empty field"},
        {"\n\nAB\twine-x64\twhy\n", "line 3: 'AB' is not Suite.Case"},
        {"A.\twine-x64\twhy\n", "'A.' is not Suite.Case"},
        {"A.B wine-x64 why\n", "line 1: not Suite.Case"},  // blanks are no tabs
    };
    for (const Case& c : cases) {
        try {
            skip_list::parse(c.text);
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(c.said), std::string::npos) << e.what();
        }
    }
}

TEST(SkipList, ASkipWithoutItsRunnersRowIsUnlisted) {
    const std::vector<Row> rows = {{"L.Close", "wine-x64", "no close event"},
                                   {"L.Close", "wine-x86", "no close event"},
                                   {"L.Signed", "windows-latest-x64", "unsigned"}};
    const std::vector<Skip> skipped = {{"L.Close", "no close event"}, {"L.Signed", "unsigned"}, {"L.Links", "none"}};
    struct Case {
        const char* runner;
        std::vector<std::string> unlisted;
    };
    const Case cases[] = {
        {"wine-x64", {"L.Signed", "L.Links"}},
        {"windows-latest-x64", {"L.Close", "L.Links"}},
        {"windows-latest-x86", {"L.Close", "L.Signed", "L.Links"}},  // a row is for its runner alone
        {"WINE-X64", {"L.Close", "L.Signed", "L.Links"}},            // names compare exactly
    };
    for (const Case& c : cases) {
        std::vector<std::string> names;
        for (const Skip& s : skip_list::unlisted(rows, c.runner, skipped)) names.push_back(s.test);
        EXPECT_EQ(names, c.unlisted) << c.runner;
    }
    EXPECT_EQ(skip_list::unlisted(rows, "wine-x64", skipped)[1].reason, "none");
    EXPECT_TRUE(skip_list::unlisted(rows, "wine-x64", {}).empty());
}

TEST(SkipList, RowsWhoseCaseRanAreUnused) {
    const std::vector<Row> rows = {{"L.A", "wine-x64", "a"}, {"L.B", "wine-x64", "b"}, {"L.C", "wine-x64", "c"},
                                   {"L.A", "wine-x86", "a"}};
    // L.A ran and skipped, L.B ran, L.C was filtered out.
    const std::vector<Row> stale = skip_list::unused(rows, "wine-x64", {"L.A", "L.B"}, {{"L.A", "a"}});
    ASSERT_EQ(stale.size(), 1u);
    EXPECT_EQ(stale[0].test, "L.B");
}

}  // namespace
