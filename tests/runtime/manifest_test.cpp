// Reading manifest documents: which text ends up in which field, the required properties, and how
// malformed documents, entity declarations and undefined references are handled.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log_capture.h"
#include "manifest.h"
#include "version.h"

namespace upkit {
namespace {

using testing::CapturedLog;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// A document whose metadata holds the required elements followed by the given markup.
std::string With(std::string_view extra) {
    return "<package><metadata><id>App</id><version>1.0.0</version><mainExe>App.exe</mainExe>" +
           std::string(extra) + "</metadata></package>";
}

// A document whose root holds version and mainExe, and an id nested so that it is the element
// at the given depth (the root is at depth 1).
std::string IdAtDepth(int depth) {
    std::string document = "<package><version>1.0.0</version><mainExe>A</mainExe>";
    for (int i = 2; i < depth; ++i) document += "<a>";
    document += "<id>App</id>";
    for (int i = 2; i < depth; ++i) document += "</a>";
    return document + "</package>";
}

std::vector<std::string> ErrorLines(const CapturedLog& log) {
    std::vector<std::string> messages;
    for (const auto& line : log.Lines(Level::Error, "upkit::bundle")) {
        messages.push_back(line.message);
    }
    return messages;
}

TEST(ReadManifest, MinimalDocumentTakesTitleFromId) {
    CapturedLog log;
    auto m = ReadManifestFromText(
        "<package><metadata><id>Zelt.App</id><version>1.0.0</version>"
        "<mainExe>ZeltOy2.exe</mainExe></metadata></package>");
    ASSERT_TRUE(m.ok()) << m.error().Debug();
    EXPECT_EQ(m->id, "Zelt.App");
    EXPECT_EQ(VersionText(m->version), "1.0.0");
    EXPECT_EQ(m->mainExe, "ZeltOy2.exe");
    EXPECT_EQ(m->title, "Zelt.App");
    for (const std::string* field :
         {&m->authors, &m->description, &m->machineArchitecture, &m->runtimeDependencies, &m->os,
          &m->osMinVersion, &m->channel, &m->shortcutLocations, &m->shortcutAumid, &m->releaseNotes,
          &m->releaseNotesHtml, &m->splashProgressColor}) {
        EXPECT_EQ(*field, "");
    }
    EXPECT_TRUE(log.Lines().empty());
}

TEST(ReadManifest, EveryFieldFromItsElementAsWritten) {
    auto m = ReadManifestFromText(
        "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
        "<package xmlns=\"http://schemas.microsoft.com/packaging/2010/07/nuspec.xsd\">\n"
        "  <metadata>\n"
        "    <id>Zelt.ZeltOy2</id>\n"
        "    <version>2.1.0-beta.3+build.7</version>\n"
        "    <title>Zelt Oyun 2</title>\n"
        "    <authors>Zelt, Inc.</authors>\n"
        "    <description> two  spaces </description>\n"
        "    <machineArchitecture>x64</machineArchitecture>\n"
        "    <runtimeDependencies>net8-x64-desktop,vcredist143</runtimeDependencies>\n"
        "    <mainExe>ZeltOy2.exe</mainExe>\n"
        "    <os>win</os>\n"
        "    <osMinVersion>10.0.19041</osMinVersion>\n"
        "    <channel>stable</channel>\n"
        "    <shortcutLocations>Desktop,StartMenu</shortcutLocations>\n"
        "    <shortcutAumid>Zelt.ZeltOy2.Aumid</shortcutAumid>\n"
        "    <releaseNotes>Fixes\nmore</releaseNotes>\n"
        "    <releaseNotesHtml>&lt;p&gt;Fixes&lt;/p&gt;</releaseNotesHtml>\n"
        "    <splashProgressColor>#ff8800</splashProgressColor>\n"
        "  </metadata>\n"
        "</package>\n");
    ASSERT_TRUE(m.ok()) << m.error().Debug();
    EXPECT_EQ(m->id, "Zelt.ZeltOy2");
    EXPECT_EQ(VersionText(m->version), "2.1.0-beta.3+build.7");
    EXPECT_EQ(m->title, "Zelt Oyun 2");
    EXPECT_EQ(m->authors, "Zelt, Inc.");
    EXPECT_EQ(m->description, " two  spaces ");
    EXPECT_EQ(m->machineArchitecture, "x64");
    EXPECT_EQ(m->runtimeDependencies, "net8-x64-desktop,vcredist143");
    EXPECT_EQ(m->mainExe, "ZeltOy2.exe");
    EXPECT_EQ(m->os, "win");
    EXPECT_EQ(m->osMinVersion, "10.0.19041");
    EXPECT_EQ(m->channel, "stable");
    EXPECT_EQ(m->shortcutLocations, "Desktop,StartMenu");
    EXPECT_EQ(m->shortcutAumid, "Zelt.ZeltOy2.Aumid");
    EXPECT_EQ(m->releaseNotes, "Fixes\nmore");
    EXPECT_EQ(m->releaseNotesHtml, "<p>Fixes</p>");
    EXPECT_EQ(m->splashProgressColor, "#ff8800");
}

// Which text a field ends up with, for documents that are all well-formed.
TEST(ReadManifest, TextOfAField) {
    struct Case {
        const char* what;
        std::string document;
        std::string PackageManifest::*field;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"second title wins", With("<title>One</title><x><title>Two</title></x>"),
         &PackageManifest::title, "Two"},
        {"shortcutAmuid after shortcutAumid",
         With("<shortcutAumid>A</shortcutAumid><shortcutAmuid>B</shortcutAmuid>"),
         &PackageManifest::shortcutAumid, "B"},
        {"shortcutAumid after shortcutAmuid",
         With("<shortcutAmuid>B</shortcutAmuid><shortcutAumid>A</shortcutAumid>"),
         &PackageManifest::shortcutAumid, "A"},
        {"predefined entity", With("<title>Tom &amp; Jerry</title>"), &PackageManifest::title,
         "Tom & Jerry"},
        {"all references decoded",
         With("<title>&lt;&gt;&amp;&apos;&quot;&#65;&#x42;&#x1F600;</title>"),
         &PackageManifest::title, "<>&'\"AB\xF0\x9F\x98\x80"},
        {"CDATA markup unchanged",
         With("<releaseNotes><![CDATA[<b>bold</b> &amp;]]></releaseNotes>"),
         &PackageManifest::releaseNotes, "<b>bold</b> &amp;"},
        {"text then CDATA: the CDATA piece wins", With("<title>plain<![CDATA[cdata]]></title>"),
         &PackageManifest::title, "cdata"},
        {"CDATA then text: the text wins", With("<title><![CDATA[cdata]]>plain</title>"),
         &PackageManifest::title, "plain"},
        {"blank CDATA piece still counts", With("<title>plain<![CDATA[ ]]></title>"),
         &PackageManifest::title, " "},
        {"text around a comment is one run", With("<title>one<!-- two -->three</title>"),
         &PackageManifest::title, "onethree"},
        {"a processing instruction ends a run, as an element does: the last run wins",
         With("<title>one<?pi data?>three</title>"), &PackageManifest::title, "three"},
        {"a processing instruction after the text ends its run",
         With("<title>one<?pi data?></title>"), &PackageManifest::title, "one"},
        {"text around references is one run", With("<title> a &amp; b &#x41; c </title>"),
         &PackageManifest::title, " a & b A c "},
        {"text after a child element", With("<title>before<b>child</b>after</title>"),
         &PackageManifest::title, "after"},
        {"text before a child element only", With("<title>before<b/></title>"),
         &PackageManifest::title, "before"},
        {"blank text after a child does not replace", With("<title>before<b/>  \n\t</title>"),
         &PackageManifest::title, "before"},
        // The reader turns a literal CR into LF; only a reference leaves one in the text.
        {"CR LF by reference after a child is blank and does not replace",
         With("<title>before<b/>&#13;&#10;</title>"), &PackageManifest::title, "before"},
        {"blank title becomes the id", With("<title> \t\r\n </title>"), &PackageManifest::title,
         "App"},
        {"white space kept", With("<authors>\n  Zelt  \n</authors>"), &PackageManifest::authors,
         "\n  Zelt  \n"},
        {"nested anywhere", With("<a><b><c><channel>beta</channel></c></b></a>"),
         &PackageManifest::channel, "beta"},
        {"prefixed element, bound", With("<n:channel xmlns:n=\"urn:x\">beta</n:channel>"),
         &PackageManifest::channel, "beta"},
        {"prefixed element, unbound", With("<n:channel>beta</n:channel>"),
         &PackageManifest::channel, "beta"},
        {"a second colon is part of the local name", With("<a:b:channel>beta</a:b:channel>"),
         &PackageManifest::channel, ""},
        {"attributes are not read", With("<title channel=\"beta\">t</title>"),
         &PackageManifest::channel, ""},
        {"names are case-sensitive", With("<Channel>beta</Channel>"), &PackageManifest::channel,
         ""},
        {"the declared encoding does not re-decode",
         "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>" + With("<title>Oyun \xC3\xA7</title>"),
         &PackageManifest::title, "Oyun \xC3\xA7"},
        {"line ends normalised", With("<description>a\r\nb\rc</description>"),
         &PackageManifest::description, "a\nb\nc"},
        {"character reference to CR kept", With("<description>a&#13;b</description>"),
         &PackageManifest::description, "a\rb"},
    };
    for (const auto& c : cases) {
        CapturedLog log;
        auto m = ReadManifestFromText(c.document);
        ASSERT_TRUE(m.ok()) << c.what << ": " << m.error().Debug();
        EXPECT_EQ((*m).*c.field, c.expected) << c.what;
        EXPECT_TRUE(log.Lines().empty()) << c.what;
    }
}

TEST(ReadManifest, LongTextAcrossTheParsersBuffersIsOneRun) {
    std::string expected;
    std::string markup;
    for (int i = 0; i < 20000; ++i) {
        expected += "word" + std::to_string(i) + " & ";
        markup += "word" + std::to_string(i) + " &amp; ";
    }
    auto m = ReadManifestFromText(With("<description>" + markup + "</description>"));
    ASSERT_TRUE(m.ok()) << m.error().Debug();
    EXPECT_EQ(m->description, expected);
}

TEST(ReadManifest, InvalidVersionTextFailsWithSemverAtOnce) {
    const std::vector<std::string> versions = {"1.0.0\n", " 1.0.0", "v1.0.0", "1.0",
                                               "1.0.0.0", "01.0.0", "1.0.0-", "<![CDATA[]]>"};
    for (const auto& version : versions) {
        CapturedLog log;
        // The damage after the version is never looked at.
        auto m = ReadManifestFromText("<package><id>App</id><mainExe>A.exe</mainExe><version>" +
                                      version + "</version><version>1.0.0</version><broken");
        ASSERT_FALSE(m.ok()) << version;
        EXPECT_EQ(m.error().GetKind(), RuntimeError::Kind::Semver) << version;
        EXPECT_THAT(m.error().Debug(), StartsWith("Semver(Error(\"")) << version;
        EXPECT_TRUE(log.Lines().empty()) << version;
    }
}

TEST(ReadManifest, RequiredPropertiesInOrder) {
    struct Case {
        const char* what;
        std::string document;
        const char* missing;  // nullptr: the document passes
    };
    const std::vector<Case> cases = {
        {"no id and no version", "<package><mainExe>A.exe</mainExe></package>", "id"},
        {"nothing at all", "<package/>", "id"},
        {"blank id", "<package><id> \n</id><version>1.0.0</version><mainExe>A</mainExe></package>",
         "id"},
        {"an id that is a CR by reference is blank",
         "<package><id>&#13;</id><version>1.0.0</version><mainExe>A</mainExe></package>", "id"},
        {"id at depth 1000, the deepest element read", IdAtDepth(1000), nullptr},
        {"id in capitals",
         "<package><ID>App</ID><version>1.0.0</version><mainExe>A</mainExe></package>", "id"},
        {"id as an attribute",
         "<package id=\"App\"><metadata id=\"App\"><version>1.0.0</version><mainExe>A</mainExe>"
         "</metadata></package>",
         "id"},
        {"no version", "<package><id>App</id><mainExe>A</mainExe></package>", "version"},
        {"version 0.0.0",
         "<package><id>App</id><version>0.0.0</version><mainExe>A</mainExe></package>", "version"},
        {"0.0.0 with a pre-release",
         "<package><id>App</id><version>0.0.0-beta</version><mainExe>A</mainExe></package>",
         nullptr},
        {"0.0.0 with build metadata",
         "<package><id>App</id><version>0.0.0+7</version><mainExe>A</mainExe></package>", nullptr},
        {"no mainExe", "<package><id>App</id><version>1.0.0</version></package>", "mainExe"},
        {"mainExe spelled with a capital M",
         "<package><id>App</id><version>1.0.0</version><MainExe>A</MainExe></package>", "mainExe"},
        {"empty mainExe",
         "<package><id>App</id><version>1.0.0</version><mainExe></mainExe></package>", "mainExe"},
        {"prefixed id",
         "<p:package xmlns:p=\"urn:any\"><p:id>App</p:id><p:version>1.0.0</p:version>"
         "<p:mainExe>A</p:mainExe></p:package>",
         nullptr},
    };
    for (const auto& c : cases) {
        auto m = ReadManifestFromText(c.document);
        if (c.missing == nullptr) {
            EXPECT_TRUE(m.ok()) << c.what << ": " << m.error().Debug();
            continue;
        }
        ASSERT_FALSE(m.ok()) << c.what;
        EXPECT_EQ(m.error().Debug(),
                  std::string("InvalidPackage(\"Missing required manifest property: ") + c.missing +
                      "\")")
            << c.what;
    }
}

// Reader errors are logged once and end the reading; what came before still counts.
TEST(ReadManifest, ReaderErrors) {
    struct Case {
        const char* what;
        std::string document;
        const char* missing;      // the first missing property, nullptr when the record passes
        const char* description;  // part of the logged line
    };
    const std::string head = "<package><id>App</id><version>1.0.0</version>";
    const std::vector<Case> cases = {
        {"empty text", "", "id", "no element found"},
        {"not XML", "this is not XML", "id", "syntax error"},
        {"only a byte-order mark", "\xEF\xBB\xBF", "id", "no element found"},
        {"cut off after mainExe", head + "<mainExe>A.exe</mainExe><title>T", nullptr,
         "no element found"},
        {"cut off inside mainExe: the run is dropped", head + "<mainExe>A.exe", "mainExe",
         "no element found"},
        {"mismatched tag after the required ones", head + "<mainExe>A</mainExe></metadata>",
         nullptr, "mismatched tag"},
        {"malformed before mainExe", head + "<<mainExe>A</mainExe></package>", "mainExe",
         "not well-formed"},
        {"undefined entity cuts the run off", head + "<mainExe>A&nbsp;B</mainExe></package>",
         "mainExe", "undefined entity"},
        {"second byte-order mark", "\xEF\xBB\xBF\xEF\xBB\xBF" + head + "<mainExe>A</mainExe>", "id",
         "not well-formed"},
        {"entity declaration",
         "<!DOCTYPE package [<!ENTITY e \"App\">]><package><id>&e;</id>"
         "<version>1.0.0</version><mainExe>A</mainExe></package>",
         "id", "entity declaration of 'e' is not allowed"},
        {"entity expansion bomb",
         "<!DOCTYPE p [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">"
         "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">]><p><id>&c;&c;&c;</id></p>",
         "id", "entity declaration of 'a' is not allowed"},
        {"external entity",
         "<!DOCTYPE package [<!ENTITY e SYSTEM \"file:///etc/hostname\">]><package><id>&e;</id>"
         "</package>",
         "id", "entity declaration of 'e' is not allowed"},
        {"parameter entity",
         "<!DOCTYPE package [<!ENTITY % p \"x\">]><package><id>App</id></package>", "id",
         "parameter entity declaration of 'p' is not allowed"},
        {"elements nested deeper than 1000 after the required ones",
         [&head] {
             std::string deep = head + "<mainExe>A</mainExe>";
             for (int i = 0; i < 1000; ++i) deep += "<a>";
             return deep + "<title>T</title>";
         }(),
         nullptr, "elements nested more than 1000 deep"},
        {"id at depth 1001, one deeper than read", IdAtDepth(1001), "id",
         "elements nested more than 1000 deep"},
        {"reference only an unread external DTD could define",
         "<!DOCTYPE package SYSTEM \"package.dtd\">" + head +
             "<mainExe>A</mainExe><title>&ext;</title></package>",
         nullptr, "undefined entity 'ext'"},
    };
    for (const auto& c : cases) {
        CapturedLog log;
        auto m = ReadManifestFromText(c.document);
        if (c.missing == nullptr) {
            EXPECT_TRUE(m.ok()) << c.what << ": " << m.error().Debug();
        } else {
            ASSERT_FALSE(m.ok()) << c.what;
            EXPECT_EQ(m.error().Debug(),
                      std::string("InvalidPackage(\"Missing required manifest property: ") +
                          c.missing + "\")")
                << c.what;
        }
        const auto errors = ErrorLines(log);
        ASSERT_EQ(errors.size(), 1u) << c.what;
        EXPECT_THAT(errors[0], StartsWith("Error: ")) << c.what;
        EXPECT_THAT(errors[0], HasSubstr(c.description)) << c.what;
        EXPECT_THAT(errors[0], HasSubstr(" at line ")) << c.what;
        EXPECT_EQ(errors[0].find('\n'), std::string::npos) << c.what;
        EXPECT_EQ(log.Lines().size(), 1u) << c.what;
    }
}

TEST(ReadManifest, OnlyTheFirstRootElementCounts) {
    CapturedLog log;
    auto m = ReadManifestFromText(With("<title>First</title>") +
                                  "<package><title>Second</title><id>Other</id></package>");
    ASSERT_TRUE(m.ok()) << m.error().Debug();
    EXPECT_EQ(m->title, "First");
    EXPECT_EQ(m->id, "App");
    const auto errors = ErrorLines(log);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_THAT(errors[0], StartsWith("Error: junk after document element"));
}

TEST(ReadManifest, VersionInAnErrorlessPrefixIsParsed) {
    CapturedLog log;
    auto m = ReadManifestFromText(
        "<package><id>App</id><version>3.2.1</version>"
        "<mainExe>A</mainExe><version>bad");
    ASSERT_TRUE(m.ok()) << m.error().Debug();
    EXPECT_EQ(VersionText(m->version), "3.2.1");
}

}  // namespace
}  // namespace upkit
