// Text conversions and the quoted (debug) form of texts and paths.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace upkit {

// UTF-16 to UTF-8; every unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8Lossy(std::u16string_view text);

// UTF-16 to WTF-8: unpaired surrogates are kept as their three-byte generalised encoding.
std::string Utf16ToWtf8(std::u16string_view text);

// WTF-8 (and so UTF-8) to UTF-16; invalid sequences become U+FFFD.
std::u16string Wtf8ToUtf16(std::string_view text);

// Strict UTF-8 to UTF-16; nothing when the bytes are not valid UTF-8.
std::optional<std::u16string> Utf8ToUtf16(std::string_view text);

bool IsValidUtf8(std::string_view bytes);

// Whether UTF-16 text holds no unpaired surrogate.
bool IsValidUtf16(std::u16string_view text);

// The quoted form: between double quotes, with \" \\ \t \r \n \0 escapes and \u{hex} for
// characters that are not printable. Invalid UTF-8 bytes are shown as U+FFFD.
std::string QuoteText(std::string_view utf8);

// The same for UTF-16 text; an unpaired surrogate is written as \u{d800} and the like.
std::string QuoteUtf16(std::u16string_view text);

// Lower-cases ASCII A to Z only.
std::string AsciiLower(std::string_view text);

}  // namespace upkit
