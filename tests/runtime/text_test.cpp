#include "text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

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

// Every character the quoted form escapes besides controls, and the characters just outside each
// run of them. The names and general categories are Unicode's: the escaped ones are format
// characters (Cf), blanks other than the space (Zs, Zl, Zp), private use (Co), surrogates and
// noncharacters; their neighbours are printable or unassigned, and an unassigned character is
// written as it is (a later Unicode may assign it a glyph).
TEST(QuotedForm, EveryEscapedRunAtItsEdges) {
    struct Case {
        char32_t cp;
        bool escaped;
        const char* name;
    };
    const Case cases[] = {
        {0x1F, true, "INFORMATION SEPARATOR ONE"},
        {0x20, false, "SPACE"},
        {0x7E, false, "TILDE"},
        {0x7F, true, "DELETE"},
        {0x9F, true, "APPLICATION PROGRAM COMMAND"},
        {0xA0, true, "NO-BREAK SPACE"},
        {0xA1, false, "INVERTED EXCLAMATION MARK"},
        {0xAC, false, "NOT SIGN"},
        {0xAD, true, "SOFT HYPHEN"},
        {0xAE, false, "REGISTERED SIGN"},
        {0x5FF, false, "unassigned"},
        {0x600, true, "ARABIC NUMBER SIGN"},
        {0x603, true, "ARABIC SIGN SAFHA"},
        {0x605, true, "ARABIC NUMBER MARK ABOVE"},
        {0x606, false, "ARABIC-INDIC CUBE ROOT"},
        {0x61B, false, "ARABIC SEMICOLON"},
        {0x61C, true, "ARABIC LETTER MARK"},
        {0x61D, false, "ARABIC END OF TEXT MARK"},
        {0x6DC, false, "ARABIC SMALL HIGH SEEN"},
        {0x6DD, true, "ARABIC END OF AYAH"},
        {0x6DE, false, "ARABIC START OF RUB EL HIZB"},
        {0x70E, false, "unassigned"},
        {0x70F, true, "SYRIAC ABBREVIATION MARK"},
        {0x710, false, "SYRIAC LETTER ALAPH"},
        {0x8E1, false, "ARABIC SMALL HIGH SIGN SAFHA"},
        {0x8E2, true, "ARABIC DISPUTED END OF AYAH"},
        {0x8E3, false, "ARABIC TURNED DAMMA BELOW"},
        {0x167F, false, "CANADIAN SYLLABICS BLACKFOOT W"},
        {0x1680, true, "OGHAM SPACE MARK"},
        {0x1681, false, "OGHAM LETTER BEITH"},
        {0x180D, false, "MONGOLIAN FREE VARIATION SELECTOR THREE"},
        {0x180E, true, "MONGOLIAN VOWEL SEPARATOR"},
        {0x180F, false, "MONGOLIAN FREE VARIATION SELECTOR FOUR"},
        {0x1FFF, false, "unassigned"},
        {0x2000, true, "EN QUAD"},
        {0x200A, true, "HAIR SPACE"},
        {0x200D, true, "ZERO WIDTH JOINER"},
        {0x200E, true, "LEFT-TO-RIGHT MARK"},
        {0x200F, true, "RIGHT-TO-LEFT MARK"},
        {0x2010, false, "HYPHEN"},
        {0x2027, false, "HYPHENATION POINT"},
        {0x2028, true, "LINE SEPARATOR"},
        {0x2029, true, "PARAGRAPH SEPARATOR"},
        {0x202A, true, "LEFT-TO-RIGHT EMBEDDING"},
        {0x202E, true, "RIGHT-TO-LEFT OVERRIDE"},
        {0x202F, true, "NARROW NO-BREAK SPACE"},
        {0x2030, false, "PER MILLE SIGN"},
        {0x205E, false, "VERTICAL FOUR DOTS"},
        {0x205F, true, "MEDIUM MATHEMATICAL SPACE"},
        {0x2060, true, "WORD JOINER"},
        {0x2064, true, "INVISIBLE PLUS"},
        {0x2065, false, "unassigned"},
        {0x2066, true, "LEFT-TO-RIGHT ISOLATE"},
        {0x2069, true, "POP DIRECTIONAL ISOLATE"},
        {0x206F, true, "NOMINAL DIGIT SHAPES"},
        {0x2070, false, "SUPERSCRIPT ZERO"},
        {0x2FFB, false, "IDEOGRAPHIC DESCRIPTION CHARACTER OVERLAID"},
        {0x3000, true, "IDEOGRAPHIC SPACE"},
        {0x3001, false, "IDEOGRAPHIC COMMA"},
        {0xD7FB, false, "HANGUL JONGSEONG PHIEUPH-THIEUTH"},
        {0xD800, true, "first high surrogate"},
        {0xDBFF, true, "last high surrogate"},
        {0xDC00, true, "first low surrogate"},
        {0xDFFF, true, "last low surrogate"},
        {0xE000, true, "first private use"},
        {0xF8FF, true, "last private use"},
        {0xF900, false, "CJK COMPATIBILITY IDEOGRAPH-F900"},
        {0xFDCF, false, "ARABIC LIGATURE SALAAMUHU ALAYNAA"},
        {0xFDD0, true, "first of the noncharacter run"},
        {0xFDEF, true, "last of the noncharacter run"},
        {0xFDF0, false, "ARABIC LIGATURE SALLA USED AS KORANIC STOP SIGN ISOLATED FORM"},
        {0xFEFE, false, "unassigned"},
        {0xFEFF, true, "ZERO WIDTH NO-BREAK SPACE"},
        {0xFF01, false, "FULLWIDTH EXCLAMATION MARK"},
        {0xFFF8, false, "unassigned"},
        {0xFFF9, true, "INTERLINEAR ANNOTATION ANCHOR"},
        {0xFFFA, true, "INTERLINEAR ANNOTATION SEPARATOR"},
        {0xFFFB, true, "INTERLINEAR ANNOTATION TERMINATOR"},
        {0xFFFC, false, "OBJECT REPLACEMENT CHARACTER"},
        {0xFFFD, false, "REPLACEMENT CHARACTER"},
        {0xFFFE, true, "noncharacter"},
        {0xFFFF, true, "noncharacter"},
        {0x10000, false, "LINEAR B SYLLABLE B008 A"},
        {0x110BC, false, "KAITHI ENUMERATION SIGN"},
        {0x110BD, true, "KAITHI NUMBER SIGN"},
        {0x110BE, false, "KAITHI SECTION MARK"},
        {0x110CC, false, "unassigned"},
        {0x110CD, true, "KAITHI NUMBER SIGN ABOVE"},
        {0x110CE, false, "unassigned"},
        {0x1BC9F, false, "DUPLOYAN PUNCTUATION CHINOOK FULL STOP"},
        {0x1BCA0, true, "SHORTHAND FORMAT LETTER OVERLAP"},
        {0x1BCA3, true, "SHORTHAND FORMAT UP STEP"},
        {0x1BCA4, false, "unassigned"},
        {0x1D172, false, "MUSICAL SYMBOL COMBINING FLAG-5"},
        {0x1D173, true, "MUSICAL SYMBOL BEGIN BEAM"},
        {0x1D17A, true, "MUSICAL SYMBOL END PHRASE"},
        {0x1D17B, false, "MUSICAL SYMBOL COMBINING ACCENT"},
        {0xE0000, false, "unassigned"},
        {0xE0001, true, "LANGUAGE TAG"},
        {0xE0002, false, "unassigned"},
        {0xE001F, false, "unassigned"},
        {0xE0020, true, "TAG SPACE"},
        {0xE0041, true, "TAG LATIN CAPITAL LETTER A"},
        {0xE007F, true, "CANCEL TAG"},
        {0xE0080, false, "unassigned"},
        {0xE0100, false, "VARIATION SELECTOR-17"},
        {0xF0000, true, "first of plane 15's private use"},
    };
    // The two noncharacters that end each plane, beside the plane's last character before them.
    std::vector<Case> planeEnds;
    for (char32_t plane = 1; plane <= 0x10; ++plane) {
        const char32_t end = plane << 16 | 0xFFFF;
        planeEnds.push_back(
            {end - 2, plane >= 0xF, "unassigned, or private use in planes 15 and 16"});
        planeEnds.push_back({end - 1, true, "noncharacter"});
        planeEnds.push_back({end, true, "noncharacter"});
    }
    std::vector<Case> all(std::begin(cases), std::end(cases));
    all.insert(all.end(), planeEnds.begin(), planeEnds.end());

    for (const Case& c : all) {
        std::u16string utf16;
        if (c.cp < 0x10000) {
            utf16.push_back(char16_t(c.cp));
        } else {
            utf16.push_back(char16_t(0xD800 + ((c.cp - 0x10000) >> 10)));
            utf16.push_back(char16_t(0xDC00 + ((c.cp - 0x10000) & 0x3FF)));
        }
        char hex[16];
        std::snprintf(hex, sizeof hex, "%x", unsigned(c.cp));
        const std::string utf8 = Utf16ToWtf8(utf16);
        const std::string expected =
            c.escaped ? "\"\\u{" + std::string(hex) + "}\"" : "\"" + utf8 + "\"";
        EXPECT_EQ(QuoteUtf16(utf16), expected) << "U+" << hex << " " << c.name;
        if (!(c.cp >= 0xD800 && c.cp <= 0xDFFF)) {  // a surrogate has no UTF-8 form
            EXPECT_EQ(QuoteText(utf8), expected) << "U+" << hex << " " << c.name;
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
