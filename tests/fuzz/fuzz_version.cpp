// Version texts: parsing never misbehaves, a parsed version survives its own text form, and the
// ordering of versions is a total order whose ties are exactly the equal versions. The start picks
// the package to apply by this ordering and removes every package not equal to the installed or
// the picked version, so an ordering that contradicts itself or equality can remove the wrong file.
//
// Input: the whole input is one version text. It is also cut at its first two blanks (a blank is
// never part of a version text) into up to three version texts, the last running to the end of the
// input, so "1.0.0-rc.1 1.0.0 1.0.0+b.7" is three. Every text is parsed and checked by itself; the
// ones that parse are then compared in every order: the sign of a comparison turns over with its
// operands, ties and "not greater" carry over from a to b to c, and two versions compare equal
// exactly when VersionEquals holds, which is exactly when their texts are the same (strict parsing
// gives each version one text).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "version.h"

namespace {

constexpr char kSeparator = ' ';

struct Parsed {
    std::string_view text;
    upkit::Version version;
};

[[noreturn]] void Fail(const char* what, const std::vector<const Parsed*>& versions) {
    std::fprintf(stderr, "fuzz_version: %s:", what);
    for (const Parsed* v : versions) {
        std::fprintf(stderr, " \"%.*s\"", static_cast<int>(v->text.size()), v->text.data());
    }
    std::fprintf(stderr, "\n");
    std::abort();
}

int Sign(int v) {
    return (v > 0) - (v < 0);
}

int Compare(const Parsed& a, const Parsed& b) {
    return Sign(upkit::CompareVersions(a.version, b.version));
}

// Parses one text: a refusal is a version error, an accepted text comes back unchanged from the
// version's text form and its reparse is the same version.
bool ParseAndRoundTrip(std::string_view text, upkit::Version& out) {
    auto parsed = upkit::ParseVersion(text);
    if (!parsed.ok()) {
        if (parsed.error().GetKind() != upkit::RuntimeError::Kind::Semver) std::abort();
        (void)parsed.error().Debug();
        return false;
    }
    // Strict parsing accepts only the standard form, so the text comes back unchanged.
    const std::string again = upkit::VersionText(parsed.value());
    if (again != text) std::abort();
    auto reparsed = upkit::ParseVersion(again);
    if (!reparsed.ok() || !upkit::VersionEquals(parsed.value(), reparsed.value()) ||
        upkit::CompareVersions(parsed.value(), reparsed.value()) != 0) {
        std::abort();
    }
    out = std::move(parsed.value());
    return true;
}

void CheckPair(const Parsed& a, const Parsed& b) {
    const int ab = Compare(a, b);
    if (ab != -Compare(b, a)) Fail("comparison not antisymmetric", {&a, &b});
    const bool equal = upkit::VersionEquals(a.version, b.version);
    if (equal != upkit::VersionEquals(b.version, a.version)) {
        Fail("equality not symmetric", {&a, &b});
    }
    if (equal != (ab == 0)) Fail("equality and comparison disagree", {&a, &b});
    if (equal != (a.text == b.text)) Fail("equality and text disagree", {&a, &b});
}

// a <= b and b <= c give a <= c, strictly when either step is strict; a == b == c gives a == c.
void CheckChain(const Parsed& a, const Parsed& b, const Parsed& c) {
    const int ab = Compare(a, b), bc = Compare(b, c), ac = Compare(a, c);
    if (ab > 0 || bc > 0) return;
    const int expected = (ab < 0 || bc < 0) ? -1 : 0;
    if (ac != expected) Fail("comparison not transitive", {&a, &b, &c});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    upkit::Version whole;
    (void)ParseAndRoundTrip(input, whole);

    std::vector<std::string_view> texts;
    std::string_view rest = input;
    for (size_t cut; texts.size() < 2 && (cut = rest.find(kSeparator)) != std::string_view::npos;) {
        texts.push_back(rest.substr(0, cut));
        rest.remove_prefix(cut + 1);
    }
    if (texts.empty()) return 0;  // one text only: checked above
    texts.push_back(rest);

    std::vector<Parsed> parsed;
    for (const std::string_view text : texts) {
        Parsed p{text, {}};
        if (ParseAndRoundTrip(text, p.version)) parsed.push_back(std::move(p));
    }
    for (const Parsed& a : parsed) {
        if (Compare(a, a) != 0) Fail("version not equal to itself", {&a});
        for (const Parsed& b : parsed) CheckPair(a, b);
    }
    if (parsed.size() == 3) {
        for (size_t first = 0; first < 3; ++first) {
            for (size_t second = 0; second < 3; ++second) {
                if (second == first) continue;
                CheckChain(parsed[first], parsed[second], parsed[3 - first - second]);
            }
        }
    }
    return 0;
}
