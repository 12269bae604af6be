#include "text.h"

#include <cstdint>

namespace upkit {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsCont(unsigned char b) {
    return (b & 0xC0) == 0x80;
}

// Decodes one character at bytes[i]. Returns the number of bytes consumed (at least 1) and sets
// cp; an ill-formed sequence sets ok to false and consumes its maximal well-formed prefix, so
// each broken sequence is replaced by exactly one U+FFFD. With allowSurrogates the three-byte
// encodings of D800..DFFF are accepted (generalised UTF-8 as used for Windows paths).
size_t DecodeUtf8(std::string_view bytes, size_t i, char32_t& cp, bool& ok, bool allowSurrogates) {
    const auto at = [&](size_t k) { return static_cast<unsigned char>(bytes[k]); };
    const unsigned char b0 = at(i);
    ok = false;
    cp = kReplacement;
    if (b0 < 0x80) {
        cp = b0;
        ok = true;
        return 1;
    }
    size_t need = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    char32_t value = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
        value = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        value = b0 & 0x0F;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED && !allowSurrogates) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        value = b0 & 0x07;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return 1;
    }
    size_t k = i + 1;
    for (size_t n = 0; n < need; ++n, ++k) {
        if (k >= bytes.size()) return k - i;
        const unsigned char b = at(k);
        if (n == 0 ? (b < lo || b > hi) : !IsCont(b)) return k - i;
        value = (value << 6) | (b & 0x3F);
    }
    cp = value;
    ok = true;
    return k - i;
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

void AppendUtf16(std::u16string& out, char32_t cp) {
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 | (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 | (cp & 0x3FF)));
    }
}

bool IsHighSurrogate(char16_t u) {
    return u >= 0xD800 && u <= 0xDBFF;
}
bool IsLowSurrogate(char16_t u) {
    return u >= 0xDC00 && u <= 0xDFFF;
}

// Walks UTF-16 text by code point; an unpaired surrogate is reported as itself with paired false.
template <class F>
void ForEachUtf16(std::u16string_view text, F&& f) {
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t u = text[i];
        if (IsHighSurrogate(u) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
            const char32_t cp = 0x10000 + ((char32_t(u) - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
            f(cp, true);
        } else {
            f(char32_t(u), !(IsHighSurrogate(u) || IsLowSurrogate(u)));
        }
    }
}

bool InRange(char32_t cp, char32_t lo, char32_t hi) {
    return cp >= lo && cp <= hi;
}

// Characters that would be invisible, ambiguous or able to reshape a log line when written as they
// are: controls, format and bidirectional controls, separators other than the plain blank,
// surrogates, noncharacters and private-use characters.
bool IsPrintable(char32_t cp) {
    if (cp < 0x20 || InRange(cp, 0x7F, 0x9F)) return false;
    if (cp < 0x7F) return true;
    if (cp == 0xA0 || cp == 0xAD) return false;
    if (InRange(cp, 0x600, 0x605) || cp == 0x61C || cp == 0x6DD || cp == 0x70F || cp == 0x8E2) {
        return false;
    }
    if (cp == 0x1680 || cp == 0x180E) return false;
    if (InRange(cp, 0x2000, 0x200F) || InRange(cp, 0x2028, 0x202F)) return false;
    if (InRange(cp, 0x205F, 0x2064) || InRange(cp, 0x2066, 0x206F)) return false;
    if (cp == 0x3000) return false;
    if (InRange(cp, 0xD800, 0xDFFF) || InRange(cp, 0xE000, 0xF8FF)) return false;
    if (InRange(cp, 0xFDD0, 0xFDEF) || (cp & 0xFFFE) == 0xFFFE) return false;
    if (cp == 0xFEFF || InRange(cp, 0xFFF9, 0xFFFB)) return false;
    if (cp == 0x110BD || cp == 0x110CD || InRange(cp, 0x1BCA0, 0x1BCA3)) return false;
    if (InRange(cp, 0x1D173, 0x1D17A)) return false;
    if (cp == 0xE0001 || InRange(cp, 0xE0020, 0xE007F)) return false;
    if (cp >= 0xF0000) return false;  // supplementary private-use planes
    return true;
}

void AppendHexEscape(std::string& out, char32_t cp) {
    static const char kHex[] = "0123456789abcdef";
    char digits[8];
    int n = 0;
    do {
        digits[n++] = kHex[cp & 0xF];
        cp >>= 4;
    } while (cp != 0);
    out += "\\u{";
    while (n > 0) out.push_back(digits[--n]);
    out.push_back('}');
}

void AppendQuotedChar(std::string& out, char32_t cp) {
    switch (cp) {
        case '"':
            out += "\\\"";
            return;
        case '\\':
            out += "\\\\";
            return;
        case '\t':
            out += "\\t";
            return;
        case '\r':
            out += "\\r";
            return;
        case '\n':
            out += "\\n";
            return;
        case 0:
            out += "\\0";
            return;
        default:
            break;
    }
    if (IsPrintable(cp)) {
        AppendUtf8(out, cp);
    } else {
        AppendHexEscape(out, cp);
    }
}

}  // namespace

std::string Utf16ToUtf8Lossy(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    ForEachUtf16(text,
                 [&](char32_t cp, bool valid) { AppendUtf8(out, valid ? cp : kReplacement); });
    return out;
}

std::string Utf16ToWtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    ForEachUtf16(text, [&](char32_t cp, bool) { AppendUtf8(out, cp); });
    return out;
}

std::u16string Wtf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        char32_t cp;
        bool ok;
        i += DecodeUtf8(text, i, cp, ok, true);
        AppendUtf16(out, cp);
    }
    return out;
}

std::optional<std::u16string> Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        char32_t cp;
        bool ok;
        i += DecodeUtf8(text, i, cp, ok, false);
        if (!ok) return std::nullopt;
        AppendUtf16(out, cp);
    }
    return out;
}

bool IsValidUtf8(std::string_view bytes) {
    for (size_t i = 0; i < bytes.size();) {
        char32_t cp;
        bool ok;
        i += DecodeUtf8(bytes, i, cp, ok, false);
        if (!ok) return false;
    }
    return true;
}

bool IsValidUtf16(std::u16string_view text) {
    bool valid = true;
    ForEachUtf16(text, [&](char32_t, bool paired) { valid = valid && paired; });
    return valid;
}

std::string QuoteText(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size() + 2);
    out.push_back('"');
    for (size_t i = 0; i < utf8.size();) {
        char32_t cp;
        bool ok;
        i += DecodeUtf8(utf8, i, cp, ok, false);
        AppendQuotedChar(out, cp);
    }
    out.push_back('"');
    return out;
}

std::string QuoteUtf16(std::u16string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('"');
    ForEachUtf16(text, [&](char32_t cp, bool) { AppendQuotedChar(out, cp); });
    out.push_back('"');
    return out;
}

std::string AsciiLower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

}  // namespace upkit
