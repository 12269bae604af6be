#include "version.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace upkit {
namespace {

Version Parse(const std::string& text) {
    auto result = ParseVersion(text);
    EXPECT_TRUE(result.ok()) << text << ": " << (result.ok() ? "" : result.error().Debug());
    return result.ok() ? result.value() : Version{};
}

// Every earlier entry of a chain orders strictly below every later one.
void ExpectAscending(const std::vector<std::string>& chain) {
    for (size_t i = 0; i < chain.size(); ++i) {
        const Version a = Parse(chain[i]);
        EXPECT_EQ(CompareVersions(a, a), 0) << chain[i];
        EXPECT_TRUE(VersionEquals(a, a)) << chain[i];
        for (size_t j = i + 1; j < chain.size(); ++j) {
            const Version b = Parse(chain[j]);
            EXPECT_LT(CompareVersions(a, b), 0) << chain[i] << " < " << chain[j];
            EXPECT_GT(CompareVersions(b, a), 0) << chain[j] << " > " << chain[i];
            EXPECT_FALSE(VersionEquals(a, b)) << chain[i] << " != " << chain[j];
        }
    }
}

TEST(VersionOrder, NumericParts) {
    ExpectAscending({"1.0.0", "2.0.0", "2.1.0", "2.1.1"});
}

TEST(VersionOrder, NumbersCompareByValueNotText) {
    ExpectAscending({"1.9.0", "1.10.0"});
    ExpectAscending({"0.0.9", "0.0.10", "0.0.18446744073709551615"});
}

TEST(VersionOrder, PreReleasePrecedence) {
    ExpectAscending({"1.0.0-alpha", "1.0.0-alpha.1", "1.0.0-alpha.beta", "1.0.0-beta",
                     "1.0.0-beta.2", "1.0.0-beta.11", "1.0.0-rc.1", "1.0.0"});
}

TEST(VersionOrder, PreReleaseIdentifierKinds) {
    // Numeric below alphanumeric, alphanumeric by ASCII bytes (upper case before lower case and
    // "-" before digits), numeric by value.
    ExpectAscending({"1.0.0-2", "1.0.0-10", "1.0.0-10a", "1.0.0-A", "1.0.0-a"});
    ExpectAscending({"1.0.0--", "1.0.0-0a"});
    // A pre-release of a higher version still ranks above any release of a lower one.
    ExpectAscending({"1.0.0", "1.0.1-alpha", "1.0.1"});
}

TEST(VersionOrder, BuildMetadataBreaksTies) {
    ExpectAscending({"1.0.0", "1.0.0+1", "1.0.0+2", "1.0.0+10", "1.0.0+a"});
    ExpectAscending({"1.0.0+7", "1.0.0+07", "1.0.0+007", "1.0.0+8"});
    ExpectAscending({"1.0.0+5", "1.0.0+12"});
    ExpectAscending({"1.0.0+a", "1.0.0+a.0", "1.0.0+a.b", "1.0.0+b"});
    ExpectAscending({"1.0.0-rc.1", "1.0.0-rc.1+build", "1.0.0", "1.0.0+build"});
    // Build metadata only breaks ties: it never outweighs precedence.
    ExpectAscending({"1.0.0-alpha+zzz", "1.0.0-beta+aaa", "1.0.0+0", "1.0.1+0"});
}

TEST(VersionEquality, AllFivePartsCount) {
    EXPECT_TRUE(VersionEquals(Parse("1.2.3-rc.1+b.7"), Parse("1.2.3-rc.1+b.7")));
    EXPECT_FALSE(VersionEquals(Parse("1.0.0+5"), Parse("1.0.0+12")));
    EXPECT_FALSE(VersionEquals(Parse("1.0.0+7"), Parse("1.0.0+007")));
    EXPECT_FALSE(VersionEquals(Parse("1.0.0"), Parse("1.0.0+0")));
    EXPECT_FALSE(VersionEquals(Parse("1.0.0-a"), Parse("1.0.0-a.0")));
}

TEST(VersionParse, FieldsOfAFullVersion) {
    const Version v = Parse("10.20.30-rc.1.x-y+build.007.z");
    EXPECT_EQ(v.major, 10u);
    EXPECT_EQ(v.minor, 20u);
    EXPECT_EQ(v.patch, 30u);
    EXPECT_EQ(v.pre, (std::vector<std::string>{"rc", "1", "x-y"}));
    EXPECT_EQ(v.build, (std::vector<std::string>{"build", "007", "z"}));
}

TEST(VersionParse, LargestNumbers) {
    const Version v = Parse("18446744073709551615.18446744073709551615.18446744073709551615");
    EXPECT_EQ(v.major, UINT64_MAX);
    EXPECT_EQ(v.minor, UINT64_MAX);
    EXPECT_EQ(v.patch, UINT64_MAX);
}

TEST(VersionParse, TextRoundTrips) {
    for (const char* text : {"0.0.0", "1.2.3", "1.0.0-alpha", "1.0.0-alpha.1", "1.0.0-0.3.7",
                             "1.0.0-x.7.z.92", "1.0.0-x-y-z.--", "1.0.0+20130313144700",
                             "1.0.0-beta+exp.sha.5114f85", "1.0.0+21AF26D3----117B344092BD",
                             "1.0.0+01", "1.0.0+007.0", "0.0.0--", "18446744073709551615.0.0"}) {
        EXPECT_EQ(VersionText(Parse(text)), text);
    }
}

TEST(VersionParse, FailuresNameTheirPosition) {
    struct Case {
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {"", "empty string, expected a semver version"},
        {"01.0.0", "invalid leading zero in major version number"},
        {"1.00.0", "invalid leading zero in minor version number"},
        {"1.0.00", "invalid leading zero in patch version number"},
        {"1.0", "unexpected end of input while parsing minor version number"},
        {"1", "unexpected end of input while parsing major version number"},
        {"1.", "unexpected end of input while parsing minor version number"},
        {"1.0.", "unexpected end of input while parsing patch version number"},
        {"v1.0.0", "unexpected character 'v' while parsing major version number"},
        {" 1.0.0", "unexpected character ' ' while parsing major version number"},
        {"1.0.0 ", "unexpected character ' ' after patch version number"},
        {"1..0", "unexpected character '.' while parsing minor version number"},
        {"1.0.0.0", "unexpected character '.' after patch version number"},
        {"1.x.0", "unexpected character 'x' while parsing minor version number"},
        {"1.0.0-", "empty identifier segment in pre-release identifier"},
        {"1.0.0-a..b", "empty identifier segment in pre-release identifier"},
        {"1.0.0-a.", "empty identifier segment in pre-release identifier"},
        {"1.0.0-+b", "empty identifier segment in pre-release identifier"},
        {"1.0.0-01", "invalid leading zero in pre-release identifier"},
        {"1.0.0-a.00", "invalid leading zero in pre-release identifier"},
        {"1.0.0-a_b", "unexpected character '_' while parsing pre-release identifier"},
        {"1.0.0-\xC3\xA9", "unexpected character '\xC3\xA9' while parsing pre-release identifier"},
        {"1.0.0+", "empty identifier segment in build metadata"},
        {"1.0.0+a..b", "empty identifier segment in build metadata"},
        {"1.0.0+a+b", "unexpected character '+' while parsing build metadata"},
        {"1.0.0+a b", "unexpected character ' ' while parsing build metadata"},
        {"18446744073709551616.0.0", "value of major version number exceeds u64::MAX"},
        {"0.99999999999999999999.0", "value of minor version number exceeds u64::MAX"},
        {"0.0.18446744073709551616", "value of patch version number exceeds u64::MAX"},
        // The message shows the character escaped; the debug form escapes that backslash again.
        {"1.0.0\n", "unexpected character '\\\\n' after patch version number"},
        {"1.0.0'", "unexpected character '\\\\'' after patch version number"},
    };
    for (const Case& c : cases) {
        auto result = ParseVersion(c.text);
        ASSERT_FALSE(result.ok()) << '"' << c.text << '"';
        EXPECT_EQ(result.error().GetKind(), RuntimeError::Kind::Semver);
        EXPECT_EQ(result.error().Debug(), std::string("Semver(Error(\"") + c.message + "\"))")
            << '"' << c.text << '"';
    }
}

TEST(VersionParse, EmbeddedNulFails) {
    EXPECT_FALSE(ParseVersion(std::string_view("1.0.0\0", 6)).ok());
    EXPECT_FALSE(ParseVersion(std::string_view("1\0.0.0", 6)).ok());
}

TEST(VersionDefault, OnlyZeroWithoutLabels) {
    EXPECT_TRUE(IsDefaultVersion(Version{}));
    EXPECT_TRUE(IsDefaultVersion(Parse("0.0.0")));
    for (const char* text : {"0.0.0-beta", "0.0.0+1", "0.0.1", "0.1.0", "1.0.0"}) {
        EXPECT_FALSE(IsDefaultVersion(Parse(text))) << text;
    }
}

}  // namespace
}  // namespace upkit
