#include "version.h"

#include "text.h"

namespace upkit {

namespace {

const char* const kMajor = "major version number";
const char* const kMinor = "minor version number";
const char* const kPatch = "patch version number";
const char* const kPre = "pre-release identifier";
const char* const kBuild = "build metadata";

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
bool IsIdentChar(char c) {
    return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-';
}
bool IsNumeric(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s) {
        if (!IsDigit(c)) return false;
    }
    return true;
}

// The character at pos for a message, between single quotes. A byte that does not start a valid
// UTF-8 character is shown as U+FFFD.
std::string CharAt(std::string_view text, size_t pos) {
    size_t len = 1;
    const auto b = static_cast<unsigned char>(text[pos]);
    if (b >= 0xF0) {
        len = 4;
    } else if (b >= 0xE0) {
        len = 3;
    } else if (b >= 0xC0) {
        len = 2;
    }
    std::string_view ch = text.substr(pos, len);
    if (ch.size() != len || !IsValidUtf8(ch)) ch = "\xEF\xBF\xBD";
    if (ch == "'") return "'\\''";
    if (ch == "\"") return "'\"'";
    const std::string quoted = QuoteText(ch);
    return "'" + quoted.substr(1, quoted.size() - 2) + "'";
}

class Parser {
public:
    explicit Parser(std::string_view text) : text_(text) {}

    Result<Version> Run() {
        if (text_.empty()) return Fail("empty string, expected a semver version");
        Version v;
        if (!Number(kMajor, v.major) || !Dot(kMajor) || !Number(kMinor, v.minor) || !Dot(kMinor) ||
            !Number(kPatch, v.patch)) {
            return Take();
        }
        if (AtEnd()) return v;
        if (Peek() == '-') {
            ++pos_;
            if (!Identifiers(kPre, true, v.pre)) return Take();
            if (AtEnd()) return v;
            if (Peek() != '+') {
                UnexpectedChar(kPre);
                return Take();
            }
        } else if (Peek() != '+') {
            error_ = "unexpected character " + CharAt(text_, pos_) + " after " + kPatch;
            return Take();
        }
        ++pos_;
        if (!Identifiers(kBuild, false, v.build)) return Take();
        if (!AtEnd()) {
            UnexpectedChar(kBuild);
            return Take();
        }
        return v;
    }

private:
    bool AtEnd() const { return pos_ >= text_.size(); }
    char Peek() const { return text_[pos_]; }

    RuntimeError Fail(std::string message) {
        return RuntimeError::Semver(SemverError{std::move(message)});
    }
    RuntimeError Take() { return Fail(std::move(error_)); }

    bool UnexpectedEnd(const char* position) {
        error_ = std::string("unexpected end of input while parsing ") + position;
        return false;
    }
    bool UnexpectedChar(const char* position) {
        error_ = "unexpected character " + CharAt(text_, pos_) + " while parsing " + position;
        return false;
    }

    bool Number(const char* position, uint64_t& out) {
        if (AtEnd()) return UnexpectedEnd(position);
        if (!IsDigit(Peek())) return UnexpectedChar(position);
        const size_t start = pos_;
        while (!AtEnd() && IsDigit(Peek())) ++pos_;
        const std::string_view digits = text_.substr(start, pos_ - start);
        if (digits.size() > 1 && digits[0] == '0') {
            error_ = std::string("invalid leading zero in ") + position;
            return false;
        }
        uint64_t value = 0;
        for (char c : digits) {
            const uint64_t d = static_cast<uint64_t>(c - '0');
            if (value > (UINT64_MAX - d) / 10) {
                error_ = std::string("value of ") + position + " exceeds u64::MAX";
                return false;
            }
            value = value * 10 + d;
        }
        out = value;
        return true;
    }

    bool Dot(const char* position) {
        if (AtEnd()) return UnexpectedEnd(position);
        if (Peek() != '.') return UnexpectedChar(position);
        ++pos_;
        return true;
    }

    // One or more identifiers separated by "."; stops before any other character.
    bool Identifiers(const char* position, bool noLeadingZero, std::vector<std::string>& out) {
        for (;;) {
            const size_t start = pos_;
            while (!AtEnd() && IsIdentChar(Peek())) ++pos_;
            const std::string_view ident = text_.substr(start, pos_ - start);
            if (ident.empty()) {
                if (!AtEnd() && Peek() != '.' && Peek() != '+') return UnexpectedChar(position);
                error_ = std::string("empty identifier segment in ") + position;
                return false;
            }
            if (noLeadingZero && ident.size() > 1 && ident[0] == '0' && IsNumeric(ident)) {
                error_ = std::string("invalid leading zero in ") + position;
                return false;
            }
            out.emplace_back(ident);
            if (AtEnd() || Peek() != '.') return true;
            ++pos_;
        }
    }

    std::string_view text_;
    size_t pos_ = 0;
    std::string error_;
};

std::string JoinIdentifiers(const std::vector<std::string>& ids) {
    std::string out;
    for (size_t i = 0; i < ids.size(); ++i) {
        if (i > 0) out.push_back('.');
        out += ids[i];
    }
    return out;
}

int Sign(int v) {
    return (v > 0) - (v < 0);
}

int CompareNumbers(uint64_t a, uint64_t b) {
    return (a > b) - (a < b);
}

// Two digit strings by value: the longer one is greater, equal lengths compare digit by digit.
int CompareDigits(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    return Sign(a.compare(b));
}

std::string_view StripLeadingZeros(std::string_view s) {
    while (!s.empty() && s[0] == '0') s.remove_prefix(1);
    return s;
}

int CompareIdentifier(std::string_view a, std::string_view b, bool buildMetadata) {
    const bool an = IsNumeric(a), bn = IsNumeric(b);
    if (an && bn) {
        if (!buildMetadata) return CompareDigits(a, b);
        const int byValue = CompareDigits(StripLeadingZeros(a), StripLeadingZeros(b));
        if (byValue != 0) return byValue;
        // Same value written differently: more leading zeros ranks higher, so that distinct
        // texts never compare equal.
        return CompareNumbers(a.size(), b.size());
    }
    if (an != bn) return an ? -1 : 1;
    return Sign(a.compare(b));
}

int CompareIdentifierLists(const std::vector<std::string>& a, const std::vector<std::string>& b,
                           bool buildMetadata) {
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        const int c = CompareIdentifier(a[i], b[i], buildMetadata);
        if (c != 0) return c;
    }
    return CompareNumbers(a.size(), b.size());
}

}  // namespace

Result<Version> ParseVersion(std::string_view text) {
    return Parser(text).Run();
}

std::string VersionText(const Version& version) {
    std::string out = std::to_string(version.major) + "." + std::to_string(version.minor) + "." +
                      std::to_string(version.patch);
    if (!version.pre.empty()) out += "-" + JoinIdentifiers(version.pre);
    if (!version.build.empty()) out += "+" + JoinIdentifiers(version.build);
    return out;
}

bool VersionEquals(const Version& a, const Version& b) {
    return a.major == b.major && a.minor == b.minor && a.patch == b.patch && a.pre == b.pre &&
           a.build == b.build;
}

int CompareVersions(const Version& a, const Version& b) {
    if (int c = CompareNumbers(a.major, b.major)) return c;
    if (int c = CompareNumbers(a.minor, b.minor)) return c;
    if (int c = CompareNumbers(a.patch, b.patch)) return c;
    // A release ranks above every pre-release of the same numbers.
    if (a.pre.empty() != b.pre.empty()) return a.pre.empty() ? 1 : -1;
    if (int c = CompareIdentifierLists(a.pre, b.pre, false)) return c;
    // Build metadata breaks the remaining ties; an empty list is the shortest prefix, so it ranks
    // lowest.
    return CompareIdentifierLists(a.build, b.build, true);
}

bool IsDefaultVersion(const Version& version) {
    return version.major == 0 && version.minor == 0 && version.patch == 0 && version.pre.empty() &&
           version.build.empty();
}

}  // namespace upkit
