#include "misc_path.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace upkit {
namespace {

Path P(std::u16string units) {
    return Path(std::move(units));
}

TEST(JoinPathTest, Table) {
    struct Case {
        std::u16string base;
        std::u16string component;
        std::u16string joined;
    };
    const Case cases[] = {
        {u"C:\\App", u"Update.exe", u"C:\\App\\Update.exe"},
        {u"C:\\App\\", u"Update.exe", u"C:\\App\\Update.exe"},
        {u"C:\\", u"Update.exe", u"C:\\Update.exe"},
        {u"C:/App/", u"packages", u"C:/App/packages"},
        {u"", u"Update.exe", u"Update.exe"},
        {u"", u"current\\sq.version", u"current\\sq.version"},
        {u"C:\\App", u"current\\sq.version", u"C:\\App\\current\\sq.version"},
        {u"relative", u"x", u"relative\\x"},
        // Absolute components replace the base.
        {u"C:\\App", u"D:\\Other", u"D:\\Other"},
        {u"C:\\App", u"D:rel", u"D:rel"},
        {u"C:\\App", u"\\root", u"\\root"},
        {u"C:\\App", u"/root", u"/root"},
        {u"C:\\App", u"\\\\server\\share", u"\\\\server\\share"},
        // The base is never normalised.
        {u"C:\\App\\\\.\\", u"x", u"C:\\App\\\\.\\x"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(JoinPath(P(c.base), std::u16string_view(c.component)).Units(), c.joined);
    }
}

TEST(JoinPathTest, Utf8ComponentAndLosslessBase) {
    EXPECT_EQ(JoinPath(P(u"C:\\Oyunlar"), std::string_view("Zelt \xC4\x9F"
                                                           "e.log"))
                  .Units(),
              u"C:\\Oyunlar\\Zelt \u011Fe.log");
    // An unpaired surrogate in the base survives the join.
    const std::u16string base = {u'C', u':', u'\\', char16_t(0xD800)};
    EXPECT_EQ(JoinPath(P(base), std::string_view("x")).Units(), base + u"\\x");
    EXPECT_EQ(Path::FromUtf8("C:\\\xED\xA0\x80").Units(), base);
}

TEST(ParentDirTest, Table) {
    struct Case {
        std::u16string path;
        std::optional<std::u16string> parent;
    };
    const Case cases[] = {
        {u"C:\\App\\current\\game.exe", u"C:\\App\\current"},
        {u"C:\\App\\Update.exe", u"C:\\App"},
        {u"C:\\App", u"C:\\"},
        {u"C:\\App\\", u"C:\\"},
        {u"C:\\App\\\\", u"C:\\"},
        {u"C:/App/x", u"C:/App"},
        {u"C:\\App\\\\x", u"C:\\App"},
        {u"C:\\App\\.", u"C:\\"},
        {u"C:\\App\\..", u"C:\\App"},
        {u"C:App", u"C:"},
        {u"\\App", u"\\"},
        {u"App", u""},
        {u"App\\", u""},
        {u"a\\b", u"a"},
        {u".", u""},
        {u"\\\\server\\share\\x", u"\\\\server\\share\\"},
        {u"\\\\server\\share\\x\\y", u"\\\\server\\share\\x"},
        {u"\\\\?\\C:\\App", u"\\\\?\\C:\\"},
        {u"\\\\?\\UNC\\server\\share\\x", u"\\\\?\\UNC\\server\\share\\"},
        {u"\\\\.\\pipe\\name", u"\\\\.\\pipe\\"},
        // A root, drive or prefix alone has no parent.
        {u"", std::nullopt},
        {u"C:\\", std::nullopt},
        {u"C:/", std::nullopt},
        {u"C:", std::nullopt},
        {u"\\", std::nullopt},
        {u"\\\\", std::nullopt},
        {u"C:\\.", std::nullopt},
        {u"\\\\server\\share", std::nullopt},
        {u"\\\\server\\share\\", std::nullopt},
        {u"\\\\?\\C:\\", std::nullopt},
        {u"\\\\?\\UNC\\server\\share", std::nullopt},
    };
    for (const Case& c : cases) {
        const std::optional<Path> parent = ParentDir(P(c.path));
        const std::string shown = PathDebug(P(c.path));
        ASSERT_EQ(parent.has_value(), c.parent.has_value()) << shown;
        if (parent) {
            EXPECT_EQ(parent->Units(), *c.parent) << shown;
        }
    }
}

TEST(FileNameTest, Table) {
    struct Case {
        std::u16string path;
        std::optional<std::u16string> name;
    };
    const Case cases[] = {
        {u"C:\\App\\current\\game.exe", u"game.exe"},
        {u"C:\\App\\", u"App"},
        {u"C:/App/./", u"App"},
        {u"App", u"App"},
        {u"C:App", u"App"},
        {u"\\\\server\\share\\x", u"x"},
        {u"C:\\App\\..", std::nullopt},
        {u"C:\\", std::nullopt},
        {u"C:", std::nullopt},
        {u"", std::nullopt},
        {u"\\\\server\\share", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FileName(P(c.path)), c.name) << PathDebug(P(c.path));
    }
}

TEST(PathEqualsTest, Table) {
    struct Case {
        std::u16string a, b;
        bool equal;
    };
    const Case cases[] = {
        {u"C:\\App\\packages", u"C:/App//packages/", true},
        {u"C:\\App", u"c:\\App", true},
        {u"C:\\App\\.\\packages", u"C:\\App\\packages", true},
        {u"C:\\App\\Packages", u"C:\\App\\packages", false},
        {u"C:\\App", u"D:\\App", false},
        {u"\\App", u"App", false},
        {u"C:\\App", u"C:App", false},
        {u"C:\\App", u"\\App", false},
        {u"App\\..\\x", u"x", false},
        {u"App\\..\\x", u"App/../x", true},
        {u"", u"", true},
        {u"", u".", true},
        {u"C:\\", u"C:/", true},
        {u"\\\\server\\share\\x", u"//server/share/x", true},
        {u"\\\\Server\\share\\x", u"\\\\server\\share\\x", false},
        // Other prefix forms compare exactly; only a plain drive letter folds.
        {u"\\\\?\\C:\\App", u"\\\\?\\C:\\App", true},
        {u"\\\\?\\C:\\App", u"\\\\?\\c:\\App", false},
        {u"\\\\?\\C:\\App", u"C:\\App", false},
        {u"C:\\\u011F", u"C:\\\u011E", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PathEquals(P(c.a), P(c.b)), c.equal)
            << PathDebug(P(c.a)) << " vs " << PathDebug(P(c.b));
        EXPECT_EQ(PathEquals(P(c.b), P(c.a)), c.equal)
            << PathDebug(P(c.b)) << " vs " << PathDebug(P(c.a));
    }
}

TEST(PathTextForms, DisplayAndDebug) {
    struct Case {
        std::u16string path;
        std::string display;
        std::string debug;
    };
    const Case cases[] = {
        {u"C:\\App\\Update.exe", "C:\\App\\Update.exe", R"("C:\\App\\Update.exe")"},
        {u"C:\\My \"Games\"", "C:\\My \"Games\"", R"("C:\\My \"Games\"")"},
        {u"C:\\a\tb", "C:\\a\tb", R"("C:\\a\tb")"},
        {u"C:\\Oyunlar\\\u011F\u00FC", "C:\\Oyunlar\\\xC4\x9F\xC3\xBC",
         "\"C:\\\\Oyunlar\\\\\xC4\x9F\xC3\xBC\""},
        {{u'C', u':', u'\\', char16_t(0xD800), u'x'}, "C:\\\xEF\xBF\xBDx", R"("C:\\\u{d800}x")"},
        {{char16_t(0xDC01)}, "\xEF\xBF\xBD", R"("\u{dc01}")"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PathDisplay(P(c.path)), c.display);
        EXPECT_EQ(PathDebug(P(c.path)), c.debug);
    }
}

// The form long paths reach the system in. A name of 250 units makes any path past the limit.
TEST(LongPathFormTest, Table) {
    const std::u16string n(250, u'n');
    struct Case {
        std::u16string in;
        std::u16string out;
    };
    const Case cases[] = {
        // Below the limit, nothing changes, however the path is spelled.
        {u"C:\\a/./b/../c", u"C:\\a/./b/../c"},
        {u"C:\\" + std::u16string(244, u'x'), u"C:\\" + std::u16string(244, u'x')},  // 247 units
        // From 248 units on: the long form of the normalised path.
        {u"C:\\" + std::u16string(245, u'x'), u"\\\\?\\C:\\" + std::u16string(245, u'x')},
        {u"C:\\Games\\" + n + u"\\a", u"\\\\?\\C:\\Games\\" + n + u"\\a"},
        {u"C:/Games//" + n + u"/./a/", u"\\\\?\\C:\\Games\\" + n + u"\\a\\"},
        {u"C:\\Games\\" + n + u"\\..\\a\\.\\b", u"\\\\?\\C:\\Games\\a\\b"},
        {u"d:\\..\\..\\" + n, u"\\\\?\\d:\\" + n},
        {u"C:\\" + n + u"\\dir.\\name. .", u"\\\\?\\C:\\" + n + u"\\dir\\name"},
        // An inner name of two units loses its trailing dot as a longer one does.
        {u"C:\\" + n + u"\\a.\\b", u"\\\\?\\C:\\" + n + u"\\a\\b"},
        {u"C:\\" + n + u"\\name. \\", u"\\\\?\\C:\\" + n + u"\\name. \\"},
        {u"\\\\server\\share\\" + n, u"\\\\?\\UNC\\server\\share\\" + n},
        {u"//server/share/" + n + u"/../../x", u"\\\\?\\UNC\\server\\share\\x"},
        // Already in a form the system takes as it is, or not absolute: as given.
        {u"\\\\?\\C:\\" + n + u"\\..\\a", u"\\\\?\\C:\\" + n + u"\\..\\a"},
        {u"\\\\.\\pipe\\" + n, u"\\\\.\\pipe\\" + n},
        {u"packages\\" + n, u"packages\\" + n},
        {u"C:" + n, u"C:" + n},
        {u"\\" + n, u"\\" + n},
        {u"\\\\server\\" + n, u"\\\\?\\UNC\\server\\" + n},  // the share is the long name
        {u"\\\\" + n, u"\\\\" + n},                          // a server, no share
    };
    for (const Case& c : cases) {
        EXPECT_EQ(LongPathForm(c.in), c.out) << PathDebug(Path(c.in));
    }
}

}  // namespace
}  // namespace upkit
