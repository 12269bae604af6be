// ZeltOy2.exe started the ways a player's machine may start it: from installations with unusual
// names and very long paths, with thousands of downloaded packages, with odd command lines and odd
// environments. The engine always gets the four values the process was given and its result is
// the exit code; the runtime reads the command line as the C runtime would, consumes its markers,
// and logs no failure it cannot name.
#include <windows.h>

#include <gtest/gtest.h>

#include <climits>
#include <set>
#include <string>
#include <vector>

#include "hostile_game.h"

namespace zelt::test::hostile {
namespace {

// ---- Names and long paths ----

struct NameCase {
    const char* name{};
    // The installation root, given the fresh folder it is made in.
    std::function<std::wstring(const std::wstring& folder)> root{};
    std::wstring front{};  // what precedes the version in the package file names
    std::string idTail{};  // appended to the manifest id (the log file is named after it)
    size_t exeLength = 0;  // when set, the length of the game's path
};

std::function<std::wstring(const std::wstring&)> Named(std::wstring name) {
    return [name](const std::wstring&) { return name; };
}

// The longest executable path Wine starts a program from is 259 characters; the root is made so
// that the game's path has exactly that length, and the package paths go far past 260.
constexpr size_t kLongestStartablePath = 259;

const std::vector<NameCase> kNameCases = {
    {"Turkish letters", Named(L"Zelt Oyunları ğüşıöç ĞÜŞİÖÇ"), L"Oyun-ğüşİı", ".ğüşİı"},
    {"characters outside the BMP", Named(L"Oyun 🎮 𝕫𝕖𝕝𝕥"), L"🎮𝕫", ".🎮"},
    {"brackets and blanks", Named(L" [Zelt] Oyun ]beta[ x"), L"App [1] ]x[ ", "[x]"},
    {"executable path of 259 characters, packages far past 260",
     [](const std::wstring& folder) {
         const size_t tail = std::wstring(L"\\current\\").size() + wcslen(kLauncherExe);
         return std::wstring(kLongestStartablePath - tail - folder.size() - 1, L'y');
     },
     std::wstring(200, L'p'), "", kLongestStartablePath},
};

void Check(const NameCase& c) {
    const std::string id = CaseId("Name", c.name) + c.idTail;
    const Site site(id, ManifestXml(id, "1.0.0"), c.root);
    site.AddPackages(site.install.packagesDir, {"0.9.0", "1.0.0"}, c.front);
    const LogFiles log(LogFileFor(id));
    if (c.exeLength != 0) {
        EXPECT_EQ(site.install.exe.size(), c.exeLength);
    }

    const Outcome run = Start({.exe = site.install.exe, .arguments = c.front, .log = log.path()});

    ExpectEngineStarted(run, c.front);
    ExpectLog(run, Tidied("upkit." + id, site.install.packagesDir, c.front) +
                       std::vector<Want>{{Lv::Info,
                                          "Found Update.exe by current path pattern search in "
                                          "directory: " +
                                              Narrow(site.install.root)},
                                         {Lv::Info, "UpkitApp: Running with args: [*]"}});
    EXPECT_EQ(site.Packages(), Names({PackageName("1.0.0", c.front)}));
}

TEST(HostileNames, InstallationIsFoundAndTidied) {
    for (const NameCase& c : kNameCases) {
        SCOPED_TRACE(c.name);
        Check(c);
    }
}

TEST(HostileNames, UnpairedSurrogateInAPackageFileName) {
    const std::string id = CaseId("Name", "surrogate");
    const Site site(id);
    const std::wstring front = L"App\xD800";
    const std::wstring odd = JoinPath(site.install.packagesDir, PackageName("0.9.0", front));
    const HANDLE file = CreateFileW(odd.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        GTEST_SKIP() << "the file system cannot hold an unpaired surrogate in a file name "
                        "(Wine maps names to UTF-8 Linux names; CreateFileW failed with error "
                     << GetLastError() << ")";
    }
    CloseHandle(file);
    site.AddPackages(site.install.packagesDir, {"0.9.0", "1.0.0"}, front);
    const LogFiles log(LogFileFor(id));
    const Outcome run = Start({.exe = site.install.exe, .log = log.path()});
    ExpectEngineStarted(run, L"");
    ExpectLog(run, Tidied("upkit." + id, site.install.packagesDir, front));
    EXPECT_EQ(site.Packages(), Names({PackageName("1.0.0", front)}));
}

TEST(HostileNames, PerUserFolderAndLogDeeperThan1040Characters) {
    // The manifest id names the per-user folder and the log file as one path component, taken as
    // it is: an id holding separators makes them as deep as it says. With the root refusing new
    // files the packages are read from there.
    const std::string top = CaseId("Deep", "per user");
    std::string id = top;
    for (int i = 0; i < 6; ++i) id += "\\" + std::string(180, static_cast<char>('a' + i));
    const std::wstring fallback = JoinPath(LocalAppData(), Widen(id));
    const std::wstring packages = JoinPath(fallback, L"packages");
    const std::wstring front(200, L'p');
    struct Cleanup {
        std::vector<std::wstring> trees;
        ~Cleanup() {
            for (const std::wstring& tree : trees) RemoveTree(tree);
        }
    } cleanup{{JoinPath(LocalAppData(), Widen(top)),
               JoinPath(JoinPath(LocalAppData(), L"upkit"), L"upkit_" + Widen(top))}};

    const Site site(id);
    ASSERT_TRUE(MakeDirs(JoinPath(site.install.root, L".upkit_dir_test")));
    ASSERT_TRUE(MakeDirs(packages));
    site.AddPackages(packages, {"0.9.0", "1.0.0"}, front);
    site.AddPackages(site.install.packagesDir, {"0.8.0"});
    const LogFiles log(LogFileFor(id));
    ASSERT_GT(packages.size(), 1040u);
    ASSERT_GT(log.path().size(), 1040u);

    const Outcome run = Start({.exe = site.install.exe, .log = log.path()});

    ExpectEngineStarted(run, L"");
    ExpectLog(
        run,
        Tidied("upkit." + id, packages, front) +
            std::vector<Want>{
                {Lv::Warn,
                 "Failed to open directory for writing " +
                     Quoted(JoinPath(site.install.root, L".upkit_dir_test")) + ": * (os error 5)",
                 kSome},
                {Lv::Info, "Root directory '" + Narrow(site.install.root) + "' writable: false"},
                {Lv::Info, "Using fallback directory: " + Narrow(fallback)}});
    EXPECT_EQ(ListDir(packages), Names({PackageName("1.0.0", front)}));
    EXPECT_EQ(site.Packages(), Names({PackageName("0.8.0")}));
    EXPECT_EQ(TryReadFile(JoinPath(fallback, L"Update.exe")), TryReadFile(site.install.updateExe));
}

// ---- Thousands of packages ----

// The first line only one of the two sets holds, marked with the side it is on; empty when equal.
std::string FirstDifference(const std::set<std::string>& got, const std::set<std::string>& want) {
    for (const std::string& line : want) {
        if (!got.count(line)) return "missing: " + line;
    }
    for (const std::string& line : got) {
        if (!want.count(line)) return "unexpected: " + line;
    }
    return "";
}

TEST(HostileManyPackages, TwoThousandAreListedTheOutdatedRemovedAndTheGameStarts) {
    const Site site(CaseId("Many", "2000"));
    std::vector<std::string> versions;
    for (int i = 1; i <= 1990; ++i) versions.push_back("0." + std::to_string(i) + ".0");
    versions.push_back("1.0.0");
    for (int i = 1; i <= 9; ++i) versions.push_back("1.0." + std::to_string(i));
    site.AddPackages(site.install.packagesDir, versions);
    const LogFiles log(LogFileFor(site.id));

    const Outcome run = Start({.exe = site.install.exe, .log = log.path()});

    ExpectEngineStarted(run, L"");
    ExpectLog(run, {});
    std::set<std::string> found, removed, wantFound, wantRemoved;
    for (const std::string& v : versions) {
        const std::string path = Quoted(JoinPath(site.install.packagesDir, PackageName(v)));
        wantFound.insert("Found " + v + ": '" + path + "'");
        // The installed version stays, and so does the newest, the update waiting to be applied.
        if (v != "1.0.0" && v != "1.0.9") wantRemoved.insert("Removing old package: " + path);
    }
    for (const LogLine& line : run.log) {
        if (line.message.rfind("Found ", 0) == 0 && line.message.find(": '") != std::string::npos) {
            found.insert(line.message);
        }
        if (line.message.rfind("Removing old package: ", 0) == 0) removed.insert(line.message);
    }
    EXPECT_EQ(found.size(), 2000u);
    EXPECT_EQ(FirstDifference(found, wantFound), "");
    EXPECT_EQ(removed.size(), 1998u);
    EXPECT_EQ(FirstDifference(removed, wantRemoved), "");
    EXPECT_EQ(site.Packages(), Names({PackageName("1.0.0"), PackageName("1.0.9")}));
}

// ---- Command lines ----

struct CommandLineCase {
    const char* name{};
    std::wstring arguments{};  // what follows the program name and one blank
    std::string logged{};      // the argument list the runtime logs
    bool hook = false;         // an installer hook invocation: ends with 0 before the engine
    // A whole command line instead, given the executable's path.
    std::function<std::wstring(const std::wstring& exe)> whole{};
};

const std::vector<CommandLineCase> kCommandLineCases = {
    {"an empty argument", L"\"\"", R"([""])"},
    {"empty arguments between others", L"a \"\" \"\" b", R"(["a", "", "", "b"])"},
    {"a trailing backslash", LR"(C:\Oyun\)", R"(["C:\\Oyun\\"])"},
    {"a quoted folder with a trailing backslash", LR"("C:\Oyun Klasörü\\")",
     R"(["C:\\Oyun Klasörü\\"])"},
    {"a quoted folder whose last backslash escapes the quote", LR"("C:\Oyun Klasörü\" -x)",
     R"(["C:\\Oyun Klasörü\" -x"])"},
    {"backslashes before quotes", LR"(a\\\"b c\\\\"d e")", R"(["a\\\"b", "c\\\\d e"])"},
    {"doubled quotes inside quotes", LR"("a""b" "c""")", R"(["a\"b", "c\""])"},
    {"tabs and runs of blanks", L"\t-screen-width\t\t1920   \"x\ty\"  ",
     R"(["-screen-width", "1920", "x\ty"])"},
    {"a lone quote at the end", L"-x \"", R"(["-x", ""])"},
    {"an argument of 30000 characters", std::wstring(30000, L'x'),
     "[\"" + std::string(30000, 'x') + "\"]"},
    {"an unpaired surrogate", L"a\xD800z", "[\"a\xEF\xBF\xBDz\"]"},
    {"a hook word after another argument", L"-popupwindow --upkit-install 1.0.0",
     R"(["-popupwindow", "--upkit-install", "1.0.0"])"},
    {"a hook word and its version in one argument", L"\"--upkit-install 1.0.0\"",
     R"(["--upkit-install 1.0.0"])"},
    {"a hook word joined to its version", L"--upkit-install=1.0.0", R"(["--upkit-install=1.0.0"])"},
    {"a version before the hook word", L"1.0.0 --upkit-updated", R"(["1.0.0", "--upkit-updated"])"},
    {"a quoted hook word and version", L"\"--UPKIT-UNINSTALL\" \"1.0.0\"",
     R"(["--UPKIT-UNINSTALL", "1.0.0"])", true},
    {"a hook word with an empty version", L"--upkit-install \"\"", R"(["--upkit-install", ""])",
     true},
    {"a hook word before a tab", L"--Upkit-Updated\t1.2.0", R"(["--Upkit-Updated", "1.2.0"])",
     true},
    {"an empty command line", L"", "[]", false, [](const std::wstring&) { return L""; }},
    {"the program name followed by blanks only", L"", "[]", false,
     [](const std::wstring& exe) { return QuoteArgument(exe) + L" \t \t"; }},
};

void Check(const CommandLineCase& c) {
    const Site site(CaseId("CommandLine", c.name));
    site.AddPackages(site.install.packagesDir, {"0.9.0", "1.0.0"});
    const LogFiles log(LogFileFor(site.id));
    Launch launch{.exe = site.install.exe, .arguments = c.arguments, .log = log.path()};
    if (c.whole) launch.commandLine = c.whole(site.install.exe);

    const Outcome run = Start(launch);

    const Want args = {Lv::Info, "UpkitApp: Running with args: " + c.logged};
    if (c.hook) {
        EXPECT_EQ(run.exitCode, std::optional<DWORD>(0));
        EXPECT_FALSE(run.report.has_value()) << "the engine ran";
        // Nothing of the installed start-up ran: the outdated package is still there.
        ExpectLog(run, {args,
                        {Lv::Info, "UpkitApp: Fast callback hook triggered."},
                        {Lv::Info, "Setting current process explicit AppUserModelID to *", 0}});
        EXPECT_EQ(site.Packages(), Names({PackageName("0.9.0"), PackageName("1.0.0")}));
    } else {
        ExpectEngineStarted(run, c.arguments);
        ExpectLog(run,
                  Tidied("upkit." + site.id, site.install.packagesDir) + std::vector<Want>{args});
        EXPECT_EQ(site.Packages(), Names({PackageName("1.0.0")}));
    }
}

TEST(HostileCommandLines, EngineGetsThemAsPassedAndTheRuntimeReadsThem) {
    for (const CommandLineCase& c : kCommandLineCases) {
        SCOPED_TRACE(c.name);
        Check(c);
    }
}

// ---- Environments ----

// A negative engine result, so the whole 32-bit value is seen to pass.
constexpr DWORD kNegative = static_cast<DWORD>(INT_MIN + 0x5A17);

struct EnvironmentCase {
    const char* name{};
    EnvChanges env{};
    // What the engine finds: each variable's value, or nothing when it is absent.
    std::vector<std::pair<std::wstring, std::optional<std::wstring>>> seen{};
    std::wstring arguments{};
    std::vector<Want> wants{};
    bool hook = false;  // the start is a hook invocation that ends with 0 before the engine
};

const std::vector<EnvironmentCase> kEnvironmentCases = {
    {"markers with empty values",
     {{L"UPKIT_FIRSTRUN", L""}, {L"UPKIT_RESTART", L""}},
     {{L"UPKIT_FIRSTRUN", std::nullopt}, {L"UPKIT_RESTART", std::nullopt}}},
    {"markers spelled in other letter cases",
     {{L"upkit_firstrun", L"1"}, {L"Upkit_Restart", L"evet"}},
     {{L"UPKIT_FIRSTRUN", std::nullopt}, {L"UPKIT_RESTART", std::nullopt}}},
    {"markers that are not valid UTF-16",
     {{L"UPKIT_FIRSTRUN", L"\xD800"}, {L"UPKIT_RESTART", L"x\xDC00"}},
     {{L"UPKIT_FIRSTRUN", std::nullopt}, {L"UPKIT_RESTART", std::nullopt}}},
    {"markers of 32000 characters",
     {{L"UPKIT_FIRSTRUN", std::wstring(32000, L'1')}, {L"ZELT_BIG", std::wstring(32000, L'b')}},
     {{L"UPKIT_FIRSTRUN", std::nullopt}, {L"ZELT_BIG", std::wstring(32000, L'b')}}},
    {"names beginning with an equals sign",
     {{L"=Z:", L"Z:\\Oyun"}, {L"=ExitCode", L"00000000"}, {L"UPKIT_RESTART", L"1"}},
     // (Names holding "=" cannot be recorded by the fixture engine.)
     {{L"UPKIT_RESTART", std::nullopt}}},
    {"empty values elsewhere",
     {{L"ZELT_EMPTY", L""}, {L"TMP", L""}, {L"TEMP", L""}},
     {{L"ZELT_EMPTY", L""}}},
    {"no PATH", {{L"PATH", std::nullopt}}, {{L"PATH", std::nullopt}}},
    {"debug mode with an empty value and a hook argument",
     {{L"UPKIT_DEBUG", L""}},
     {{L"UPKIT_DEBUG", L""}},
     L"--upkit-install 1.0.0",
     {{Lv::Info, "UpkitApp: Fast callback hook triggered."},
      {Lv::Warn, "UpkitApp: Debug mode enabled, not quitting for fast callback hook."}}},
    {"debug mode that is not valid UTF-16 and a hook argument",
     {{L"UPKIT_DEBUG", L"\xD800"}},
     {},
     L"--upkit-install 1.0.0",
     {{Lv::Info, "UpkitApp: Fast callback hook triggered."}},
     true},
};

void Check(const EnvironmentCase& c) {
    const Site site(CaseId("Environment", c.name));
    site.AddPackages(site.install.packagesDir, {"0.9.0", "1.0.0"});
    const LogFiles log(LogFileFor(site.id));
    std::wstring recorded;
    for (const auto& [name, value] : c.seen) recorded += name + L";";
    EnvChanges env = c.env;
    env.push_back({L"ZELT_FIXTURE_ENV", recorded});

    const Outcome run = Start({.exe = site.install.exe,
                               .arguments = c.arguments,
                               .env = env,
                               .result = kNegative,
                               .log = log.path()});

    if (c.hook) {
        EXPECT_EQ(run.exitCode, std::optional<DWORD>(0));
        EXPECT_FALSE(run.report.has_value()) << "the engine ran";
        ExpectLog(run, c.wants);
        EXPECT_EQ(site.Packages(), Names({PackageName("0.9.0"), PackageName("1.0.0")}));
        return;
    }
    ExpectEngineStarted(run, c.arguments, kNegative);
    ExpectLog(run, Tidied("upkit." + site.id, site.install.packagesDir) + c.wants);
    EXPECT_EQ(site.Packages(), Names({PackageName("1.0.0")}));
    if (!run.report) return;
    for (const auto& [name, value] : c.seen) {
        SCOPED_TRACE(Narrow(name));
        const std::string key = "env." + Narrow(name);
        EXPECT_EQ(run.report->Get(key + ".present"), value ? "1" : "0");
        if (value) {
            EXPECT_EQ(run.report->Get(key), Narrow(*value));
        }
    }
}

TEST(HostileEnvironments, GameStartsAndTheMarkersAreConsumed) {
    for (const EnvironmentCase& c : kEnvironmentCases) {
        SCOPED_TRACE(c.name);
        Check(c);
    }
}

}  // namespace
}  // namespace zelt::test::hostile
