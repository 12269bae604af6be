#include "text.h"

#include <gtest/gtest.h>

#include <string>

namespace upkit {
namespace {

// "Zelt" in Turkish letters, a CJK character, and an emoji outside the BMP.
const std::string kMixedUtf8 = "Zelt \xC4\x9F\xC3\xBC\xC5\x9F \xE4\xB8\xAD \xF0\x9F\x98\x80";
const std::u16string kMixedUtf16 = u"Zelt \u011F\u00FC\u015F \u4E2D \U0001F600";

TEST(TextConversion, ValidTextRoundTrips) {
    EXPECT_EQ(Utf16ToUtf8Lossy(kMixedUtf16), kMixedUtf8);
    EXPECT_EQ(Utf16ToWtf8(kMixedUtf16), kMixedUtf8);
    EXPECT_EQ(Wtf8ToUtf16(kMixedUtf8), kMixedUtf16);
    EXPECT_EQ(Utf8ToUtf16(kMixedUtf8), kMixedUtf16);
    EXPECT_EQ(Utf8ToUtf16(""), u"");
    EXPECT_EQ(Utf8ToUtf16(std::string_view("a\0b", 3)), std::u16string(u"a\0b", 3));
    EXPECT_TRUE(IsValidUtf16(kMixedUtf16));
}

TEST(TextConversion, BoundaryCodePoints) {
    struct Case {
        std::string utf8;
        std::u16string utf16;
    };
    const Case cases[] = {
        {"\x7F", u"\x7F"},
        {"\xC2\x80", u"\u0080"},
        {"\xDF\xBF", u"\u07FF"},
        {"\xE0\xA0\x80", u"\u0800"},
        {"\xED\x9F\xBF", u"\uD7FF"},
        {"\xEE\x80\x80", u"\uE000"},
        {"\xEF\xBF\xBF", u"\uFFFF"},
        {"\xF0\x90\x80\x80", u"\U00010000"},
        {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(IsValidUtf8(c.utf8));
        EXPECT_EQ(Utf8ToUtf16(c.utf8), c.utf16);
        EXPECT_EQ(Utf16ToUtf8Lossy(c.utf16), c.utf8);
    }
}

TEST(TextConversion, UnpairedSurrogates) {
    struct Case {
        std::u16string utf16;
        std::string wtf8;
        std::string lossy;
    };
    const Case cases[] = {
        {{u'a', char16_t(0xD800), u'b'},
         "a\xED\xA0\x80"
         "b",
         "a\xEF\xBF\xBD"
         "b"},
        {{char16_t(0xDC00)}, "\xED\xB0\x80", "\xEF\xBF\xBD"},
        {{char16_t(0xDBFF)}, "\xED\xAF\xBF", "\xEF\xBF\xBD"},
        // A low surrogate before a high one is two unpaired halves, not a pair.
        {{char16_t(0xDC00), char16_t(0xD800)},
         "\xED\xB0\x80\xED\xA0\x80",
         "\xEF\xBF\xBD\xEF\xBF\xBD"},
        // A high surrogate at the very end.
        {{u'x', char16_t(0xD83D)}, "x\xED\xA0\xBD", "x\xEF\xBF\xBD"},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(IsValidUtf16(c.utf16));
        EXPECT_EQ(Utf16ToWtf8(c.utf16), c.wtf8);
        EXPECT_EQ(Utf16ToUtf8Lossy(c.utf16), c.lossy);
        // The generalised form keeps the units, so a path survives the trip unchanged.
        EXPECT_EQ(Wtf8ToUtf16(c.wtf8), c.utf16);
        // Strict UTF-8 refuses encoded surrogates.
        EXPECT_FALSE(IsValidUtf8(c.wtf8));
        EXPECT_EQ(Utf8ToUtf16(c.wtf8), std::nullopt);
    }
}

TEST(TextConversion, InvalidUtf8) {
    struct Case {
        const char* name;
        std::string bytes;
        std::u16string replaced;  // what the lenient decoder makes of it
    };
    const Case cases[] = {
        {"lone continuation",
         "a\x80"
         "b",
         u"a\uFFFDb"},
        {"overlong slash", "\xC0\xAF", u"\uFFFD\uFFFD"},
        {"overlong two-byte NUL", "\xC1\x80", u"\uFFFD\uFFFD"},
        {"overlong three-byte", "\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},
        {"overlong four-byte", "\xF0\x80\x80\xAF", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"above U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"F5 lead byte", "\xF5\x80\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"FF byte", "\xFF", u"\uFFFD"},
        {"truncated two-byte", "\xC3", u"\uFFFD"},
        {"truncated three-byte", "\xE4\xB8", u"\uFFFD"},
        {"truncated four-byte then ASCII",
         "\xF0\x9F\x98"
         "a",
         u"\uFFFDa"},
        {"lead then lead", "\xC3\xC3\xBC", u"\uFFFD\u00FC"},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(IsValidUtf8(c.bytes)) << c.name;
        EXPECT_EQ(Utf8ToUtf16(c.bytes), std::nullopt) << c.name;
        EXPECT_EQ(Wtf8ToUtf16(c.bytes), c.replaced) << c.name;
    }
}

TEST(QuotedForm, Escapes) {
    struct Case {
        std::string text;
        std::string quoted;
    };
    const Case cases[] = {
        {"", R"("")"},
        {"plain text", R"("plain text")"},
        {"C:\\App\\x", R"("C:\\App\\x")"},
        {"say \"hi\"", R"("say \"hi\"")"},
        {"it's", R"("it's")"},
        {"a\tb\rc\nd", R"("a\tb\rc\nd")"},
        {std::string("nul\0here", 8), R"("nul\0here")"},
        {"\x01\x1B\x1F\x7F", R"("\u{1}\u{1b}\u{1f}\u{7f}")"},
        {"\xC2\x85\xC2\x9F", R"("\u{85}\u{9f}")"},  // C1 controls
        {"soft\xC2\xADhyphen", R"("soft\u{ad}hyphen")"},
        // Blanks other than the plain space would pass for it in a log line.
        {"a\xC2\xA0"
         "b\xE3\x80\x80",
         R"("a\u{a0}b\u{3000}")"},
        {"\xE2\x80\xA8\xE2\x80\xA9", R"("\u{2028}\u{2029}")"},  // line and paragraph separators
        {"\xE2\x80\x8B\xE2\x80\x8F", R"("\u{200b}\u{200f}")"},  // zero width space, RTL mark
        {"\xE2\x80\xAE", R"("\u{202e}")"},                      // right-to-left override
        {"\xE2\x81\xA0\xE2\x81\xA6\xE2\x81\xAF", R"("\u{2060}\u{2066}\u{206f}")"},
        {"\xEF\xBB\xBF"
         "bom",
         R"("\u{feff}bom")"},
        {"\xEF\xBF\xB9\xEF\xBF\xBB", R"("\u{fff9}\u{fffb}")"},
        {"\xEF\xB7\x90\xEF\xBF\xBE\xEF\xBF\xBF", R"("\u{fdd0}\u{fffe}\u{ffff}")"},
        {"\xF0\x9F\xBF\xBF", R"("\u{1ffff}")"},                      // noncharacter
        {"\xEE\x80\x80\xF3\xB0\x80\x80", R"("\u{e000}\u{f0000}")"},  // private use
        // Printable non-ASCII text stays as it is.
        {"\xC4\x9F\xC3\xBC\xC5\x9F \xE4\xB8\xAD \xF0\x9F\x98\x80 \xEF\xBF\xBD",
         "\"\xC4\x9F\xC3\xBC\xC5\x9F \xE4\xB8\xAD \xF0\x9F\x98\x80 \xEF\xBF\xBD\""},
        // Invalid bytes are shown as U+FFFD.
        {"a\xFF"
         "b",
         "\"a\xEF\xBF\xBD"
         "b\""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(QuoteText(c.text), c.quoted);
        if (IsValidUtf8(c.text)) {
            EXPECT_EQ(QuoteUtf16(*Utf8ToUtf16(c.text)), c.quoted);
        }
    }
}

TEST(QuotedForm, Utf16SurrogatesAsEscapes) {
    EXPECT_EQ(QuoteUtf16(std::u16string{u'a', char16_t(0xD800), u'b'}), R"("a\u{d800}b")");
    EXPECT_EQ(QuoteUtf16(std::u16string{char16_t(0xDFFF)}), R"("\u{dfff}")");
    EXPECT_EQ(QuoteUtf16(u"\U0001F600"), "\"\xF0\x9F\x98\x80\"");
}

TEST(QuotedForm, NeverSpansLines) {
    for (char c = 1; c < 0x20; ++c) {
        const std::string quoted = QuoteText(std::string("x") + c);
        EXPECT_EQ(quoted.find_first_of("\r\n"), std::string::npos) << int(c);
    }
}

TEST(AsciiLowerCase, OnlyAsciiLetters) {
    EXPECT_EQ(AsciiLower("--UPKIT-Updated"), "--upkit-updated");
    EXPECT_EQ(AsciiLower("AZaz@[`{09"), "azaz@[`{09");
    // Non-ASCII letters (here dotted capital I and capital A with grave) are left alone.
    EXPECT_EQ(AsciiLower("\xC4\xB0\xC3\x80X"), "\xC4\xB0\xC3\x80x");
}

}  // namespace
}  // namespace upkit
