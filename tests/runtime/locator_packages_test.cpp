// Local package discovery: which names are packages, the order they are read in, and searching
// real directories with good, damaged and misleading entries.
#include "locator_packages.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log_capture.h"
#include "scratch_dir.h"
#include "text.h"
#include "version.h"
#include "zip_writer.h"

namespace upkit {
namespace {

using testing::CapturedLog;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::LogLine;
using testing::RuntimePath;
using testing::ScratchDir;

TEST(IsFullPackageName, Names) {
    struct Case {
        std::u16string name;
        bool full;
    };
    const std::vector<Case> cases = {
        {u"-full.nupkg", true},
        {u"App-1.0.0-full.nupkg", true},
        {u".hidden-full.nupkg", true},
        {u"Zelt Oyun \u00e7-2.0.0-full.nupkg", true},
        {u"App-1.0.0-delta.nupkg", false},
        {u"App-1.0.0-full.nupkg.part", false},
        {u"App-1.0.0-FULL.NUPKG", false},
        {u"App-1.0.0-Full.nupkg", false},
        {u"App-1.0.0.nupkg", false},
        {u"full.nupkg", false},
        {u"App-1.0.0-full.nupkgx", false},
        {u"", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsFullPackageName(c.name), c.full) << Utf16ToWtf8(c.name);
    }
}

TEST(SelectFullPackageFiles, FilesOnlyInTheOrderOfTheirUtf8Bytes) {
    const std::u16string lone(1, char16_t{0xD800});
    const std::vector<DirectoryEntry> entries = {
        {u".", true},
        {u"..", true},
        {u"b-full.nupkg", false},
        {u"\uFF21-full.nupkg", false},      // U+FF21, a three-byte character
        {u"\U0001F600-full.nupkg", false},  // above U+FFFF: a surrogate pair in UTF-16
        {lone + u"-full.nupkg", false},     // an unpaired surrogate
        {u"\uD7FF-full.nupkg", false},
        {u"B-full.nupkg", false},
        {u"a-full.nupkg", false},
        {u"-full.nupkg", false},
        {u"a-9.0.0-full.nupkg", false},
        {u"dir-full.nupkg", true},
        {u"notes.txt", false},
    };
    EXPECT_THAT(SelectFullPackageFiles(entries),
                ElementsAre(u"-full.nupkg", u"B-full.nupkg", u"a-9.0.0-full.nupkg", u"a-full.nupkg",
                            u"b-full.nupkg", u"\uD7FF-full.nupkg", lone + u"-full.nupkg",
                            u"\uFF21-full.nupkg", u"\U0001F600-full.nupkg"));
}

LogLine Info(std::string message) {
    return {Level::Info, "upkit::locator", std::move(message)};
}

std::string Searching(const Path& dir) {
    return "Searching for local packages in: " + QuoteText(PathDisplay(dir));
}

TEST(FindLocalPackages, EmptyOrMissingDirectoryGivesNothing) {
    ScratchDir scratch;
    for (const Path& dir :
         {RuntimePath(scratch.Native(), true), RuntimePath(scratch.Native() / "missing", true)}) {
        CapturedLog log;
        EXPECT_THAT(FindLocalPackages(dir), IsEmpty());
        EXPECT_THAT(log.Lines(), ElementsAre(Info(Searching(dir))));
    }
}

TEST(FindLocalPackages, ListsReadablePackagesInNameOrder) {
    ScratchDir scratch;
    using zelt::zipw::Package;
    scratch.Write("b-2.0.0-full.nupkg", Package("Bee", "1.5.0"));  // the name says another version
    scratch.Write("a-1.0.0-full.nupkg", Package("Ay", "9.0.0"));
    scratch.Write("-full.nupkg", Package("Bare", "1.0.0"));
    scratch.Write(".hidden-full.nupkg", Package("Hidden", "1.0.0"));
    scratch.Write("c-1.0.0-delta.nupkg", Package("Delta", "1.0.0"));
    scratch.Write("c-1.0.0-full.nupkg.part", Package("Part", "1.0.0"));
    scratch.Write("D-1.0.0-FULL.NUPKG", Package("Upper", "1.0.0"));
    // Damaged neighbours, left out without a line of their own.
    scratch.Write("a-2-corrupt-full.nupkg", "this is no archive");
    scratch.Write("a-3-empty-full.nupkg", "");
    scratch.Write("a-4-nomanifest-full.nupkg",
                  zelt::zipw::Build({zelt::zipw::Entry{.name = "App.exe", .data = "MZ"}}));
    scratch.Write("a-5-nomainexe-full.nupkg", Package("NoMain", "1.0.0", ""));
    scratch.MakeDir("a-6-directory-full.nupkg");

    const Path dir = RuntimePath(scratch.Native(), true);
    auto path = [&](std::string_view name) { return JoinPath(dir, name); };
    CapturedLog log;
    const auto packages = FindLocalPackages(dir);

    std::vector<std::string> found;
    for (const auto& p : packages) {
        found.push_back(PathDisplay(p.path) + " " + p.manifest.id + " " +
                        VersionText(p.manifest.version));
    }
    EXPECT_THAT(found, ElementsAre(PathDisplay(path("-full.nupkg")) + " Bare 1.0.0",
                                   PathDisplay(path(".hidden-full.nupkg")) + " Hidden 1.0.0",
                                   PathDisplay(path("a-1.0.0-full.nupkg")) + " Ay 9.0.0",
                                   PathDisplay(path("b-2.0.0-full.nupkg")) + " Bee 1.5.0"));
    EXPECT_EQ(packages.back().manifest.mainExe, "App.exe");

    auto checking = [&](std::string_view name) {
        return LogLine{Level::Trace, "upkit::locator",
                       "Checking package: '" + PathDebug(path(name)) + "'"};
    };
    EXPECT_THAT(log.Lines(Level::Trace),
                ElementsAre(checking("-full.nupkg"), checking(".hidden-full.nupkg"),
                            checking("a-1.0.0-full.nupkg"), checking("a-2-corrupt-full.nupkg"),
                            checking("a-3-empty-full.nupkg"), checking("a-4-nomanifest-full.nupkg"),
                            checking("a-5-nomainexe-full.nupkg"), checking("b-2.0.0-full.nupkg")));
    EXPECT_THAT(log.Lines(Level::Info),
                ElementsAre(Info(Searching(dir)),
                            Info("Found 1.0.0: '" + PathDebug(path("-full.nupkg")) + "'"),
                            Info("Found 1.0.0: '" + PathDebug(path(".hidden-full.nupkg")) + "'"),
                            Info("Found 9.0.0: '" + PathDebug(path("a-1.0.0-full.nupkg")) + "'"),
                            Info("Found 1.5.0: '" + PathDebug(path("b-2.0.0-full.nupkg")) + "'")));
    // No retries: the directory named like a package was never opened.
    EXPECT_THAT(log.Lines(Level::Warn), IsEmpty());
    EXPECT_THAT(log.Lines(Level::Error), IsEmpty());
}

TEST(FindLocalPackages, DirectoryTextIsNeverAPattern) {
    ScratchDir scratch;
    // A glob would read "[x]" as "x" and search the other directory.
    std::vector<std::pair<std::string, std::string>> dirs = {{"pk [x] y", "Literal"},
                                                             {"pk x y", "Glob"}};
#ifndef _WIN32
    // Windows allows neither "*" nor "?" in names.
    dirs.push_back({"pk * ?", "Star"});
#endif
    for (const auto& [sub, id] : dirs) {
        scratch.Write(sub + "/App-1.0.0-full.nupkg", zelt::zipw::Package(id, "1.0.0"));
    }
    for (const auto& [sub, id] : dirs) {
        const Path dir = RuntimePath(scratch.Native() / testing::Utf8Path(sub), true);
        const auto packages = FindLocalPackages(dir);
        ASSERT_EQ(packages.size(), 1u) << sub;
        EXPECT_EQ(packages[0].manifest.id, id);
        EXPECT_EQ(packages[0].path, JoinPath(dir, "App-1.0.0-full.nupkg"));
    }
}

TEST(FindLocalPackages, NonAsciiNamesInTheOrderOfTheirUtf8Bytes) {
    ScratchDir scratch;
    scratch.Write("\xF0\x9F\x98\x80-full.nupkg", zelt::zipw::Package("Emoji", "1.0.0"));
    scratch.Write("\xEF\xBC\xA1-full.nupkg", zelt::zipw::Package("Wide", "1.0.0"));
    scratch.Write("\xC3\xA7-full.nupkg", zelt::zipw::Package("Cedilla", "1.0.0"));
    scratch.Write("z-full.nupkg", zelt::zipw::Package("Zed", "1.0.0"));
    std::vector<std::string> ids;
    for (const auto& p : FindLocalPackages(RuntimePath(scratch.Native(), true))) {
        ids.push_back(p.manifest.id);
    }
    EXPECT_THAT(ids, ElementsAre("Zed", "Cedilla", "Wide", "Emoji"));
}

}  // namespace
}  // namespace upkit
