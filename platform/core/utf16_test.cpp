#include "platform/core/utf16.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(Utf16, RoundTripsEveryPlane) {
    const std::string text = "Kaldrit Hi-Fi \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xA7";  // é € 🎧
    const std::u16string wide = Utf8ToUtf16(text);
    EXPECT_EQ(wide, u"Kaldrit Hi-Fi \u00E9 \u20AC \U0001F3A7");
    EXPECT_EQ(Utf16ToUtf8(wide), text);
}

TEST(Utf16, MalformedInputBecomesReplacementCharacters) {
    struct Case {
        const char* utf8;
        std::u16string want;
    } cases[] = {
        {"a\xFF"
         "b",
         u"a\uFFFDb"},                            // invalid lead byte
        {"a\xC3", u"a\uFFFD"},                    // truncated sequence
        {"\xC0\xAF", u"\uFFFD\uFFFD"},            // overlong '/'
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // encoded surrogate
    };
    for (const Case& c : cases) EXPECT_EQ(Utf8ToUtf16(c.utf8), c.want) << c.utf8;

    const char16_t lone[] = {u'x', 0xD800, u'y', 0};
    EXPECT_EQ(Utf16ToUtf8(lone), "x\xEF\xBF\xBDy");
}

TEST(Utf16, UnicodeStringCountsBytes) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, u"GLOBAL");
    EXPECT_EQ(s.Length, 12);
    EXPECT_EQ(s.MaximumLength, 14);
    EXPECT_EQ(View(s), u"GLOBAL");
    RtlInitUnicodeString(&s, nullptr);
    EXPECT_EQ(s.Length, 0);
    EXPECT_TRUE(View(s).empty());
}

}  // namespace
}  // namespace platform
