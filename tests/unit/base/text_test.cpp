// The formatter and the bounded text helpers.
#include <gtest/gtest.h>

#include "base/text.h"
#include "support/fake_platform.h"

using fake::utf8;

namespace {

std::string fmt(size_t size, const char16_t* format, auto... args) {
    char16_t buffer[80];
    for (auto& c : buffer) c = u'#';
    size_t n = text::format(buffer, size, format, args...);
    EXPECT_EQ(buffer[n], 0) << "terminated right after the text";
    EXPECT_LT(n, size);
    EXPECT_EQ(buffer[size], u'#') << "nothing written beyond the buffer";
    return utf8(buffer);
}

TEST(Format, Conversions) {
    EXPECT_EQ(fmt(64, u"%ls|%s|%d|%X|%%", u"a b", u"c", -42, 0xC0000005u), "a b|c|-42|C0000005|%");
    EXPECT_EQ(fmt(64, u"%d %d", INT32_MIN, INT32_MAX), "-2147483648 2147483647");
    EXPECT_EQ(fmt(64, u"%X %X", 0u, 0xFFFFFFFFu), "0 FFFFFFFF");
    EXPECT_EQ(fmt(64, u"%d", static_cast<int32_t>(0xC0000005u)), "-1073741819");
}

TEST(Format, MissingOrNullTextAndStrayPercent) {
    EXPECT_EQ(fmt(64, u"[%ls]"), "[(null)]");
    EXPECT_EQ(fmt(64, u"[%ls]", static_cast<const char16_t*>(nullptr)), "[(null)]");
    EXPECT_EQ(fmt(64, u"50%"), "50%");
    EXPECT_EQ(fmt(64, u"%q"), "%q");
}

TEST(Format, TruncatesAtSizeMinusOne) {
    EXPECT_EQ(fmt(4, u"%ls", u"abcdef"), "abc");
    EXPECT_EQ(fmt(1, u"%ls", u"abcdef"), "");
    EXPECT_EQ(fmt(6, u"%d", 1234567), "12345");
}

TEST(Text, CopyAndAppendReportCuts) {
    char16_t b[6];
    EXPECT_TRUE(text::copy(b, 6, u"abcde"));
    EXPECT_FALSE(text::copy(b, 6, u"abcdef"));
    EXPECT_EQ(utf8(b), "abcde");
    text::copy(b, 6, u"ab");
    EXPECT_TRUE(text::append(b, 6, u"cde"));
    EXPECT_FALSE(text::append(b, 6, u"f"));
    EXPECT_EQ(utf8(b), "abcde");
}

TEST(Text, ComparisonsFoldOnlyAToZ) {
    EXPECT_EQ(text::compare_folded(u"-H", u"-h"), 0);
    EXPECT_EQ(text::compare_folded(u"--HeLP", u"--help"), 0);
    EXPECT_NE(text::compare_folded(u"\u00C9", u"\u00E9"), 0);
    EXPECT_LT(text::compare(u"3.1", u"3.6"), 0);
    EXPECT_EQ(text::compare_n(u"3.6-32", u"3.6", 3), 0);
    const char16_t* request = u"3.6-32";
    EXPECT_EQ(text::find_text(request, u"-32"), request + 3);
    EXPECT_EQ(text::find_text(u"3.6", u"-32"), nullptr);
}

}  // namespace

// Output goes out in pieces (8,000 units on a console, which before Windows 8 refuses a
// longer write whole): a piece never ends between the halves of a surrogate pair.
TEST(Text, PiecesNeverSplitASurrogatePair) {
    struct Case {
        std::u16string text;
        size_t most, piece;
    };
    const std::u16string smile = u"\U0001F600";  // a pair: D83D DE00
    const Case cases[] = {
        {std::u16string(8000, u'a'), 8000, 8000},
        {std::u16string(8001, u'a'), 8000, 8000},
        {std::u16string(7999, u'a') + smile, 8000, 7999},  // the pair would straddle the end
        {std::u16string(7998, u'a') + smile + u"b", 8000, 8000},
        {std::u16string(7999, u'a') + smile, 8001, 8001},
        {u"ab" + smile, 3, 2},
        {u"ab\xD83D", 3, 3},  // a lone high surrogate that ends the text goes whole
        {u"", 8000, 0},
    };
    for (const Case& c : cases) EXPECT_EQ(text::piece_length(c.text.data(), c.text.size(), c.most), c.piece) << c.text.size();
}
