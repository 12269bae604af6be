#include "process_plan.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "cmdline.h"
#include "log_capture.h"
#include "text.h"

namespace upkit {
namespace {

using testing::CapturedLog;
using testing::LogLine;

Path P(std::u16string_view units) {
    return Path(std::u16string(units));
}

// An environment block as the system gives it: each entry ended by a NUL, then one more NUL.
std::u16string Block(std::initializer_list<std::u16string_view> entries, bool terminated = true) {
    std::u16string block;
    for (std::u16string_view entry : entries) {
        block += entry;
        block.push_back(u'\0');
    }
    if (terminated) block.push_back(u'\0');
    return block;
}

LocatorConfig ConfigAt(std::u16string_view root) {
    LocatorConfig config;
    config.rootDir = P(root);
    config.updaterPath = JoinPath(config.rootDir, "Update.exe");
    config.packagesDir = JoinPath(config.rootDir, "packages");
    config.currentDir = JoinPath(config.rootDir, "current");
    config.manifestPath = JoinPath(config.currentDir, "sq.version");
    return config;
}

// The command line as the updater would see it, without the terminating NUL, in UTF-8.
std::string LineFor(const LocatorConfig& config, std::string_view fileName, bool silent,
                    WaitTarget wait, bool restart, const std::vector<std::string>& restartArgs) {
    const Path package = JoinPath(config.packagesDir, fileName);
    Result<std::u16string> line = BuildCommandLine(
        config.updaterPath,
        BuildUpdaterArguments(config, package, silent, wait, 4242, restart, restartArgs));
    if (!line) {
        ADD_FAILURE() << line.error().Debug();
        return {};
    }
    EXPECT_EQ(line->back(), u'\0');
    EXPECT_EQ(line->find(u'\0'), line->size() - 1);
    return Utf16ToUtf8Lossy(std::u16string_view(*line).substr(0, line->size() - 1));
}

TEST(UpdaterCommandLine, Examples) {
    struct Case {
        const char* name;
        std::u16string root;
        bool silent;
        WaitTarget wait;
        bool restart;
        std::vector<std::string> restartArgs;
        std::string expected;
    };
    const std::string tail = R"(--root C:\App --packageDir C:\App\packages)";
    const std::string head =
        R"("C:\App\Update.exe" apply --package C:\App\packages\App-2.0.0-full.nupkg )";
    const Case cases[] = {
        {"restart arguments with a blank",
         u"C:\\App",
         false,
         WaitTarget::CurrentProcess(),
         true,
         {"-windowed", "-slot 2"},
         head + "--waitPid 4242 " + tail + R"( -- -windowed "-slot 2")"},
        {"root with a blank",
         u"C:\\My Games\\App",
         false,
         WaitTarget::CurrentProcess(),
         true,
         {},
         R"("C:\My Games\App\Update.exe" apply --package "C:\My Games\App\packages\App-2.0.0-full.nupkg" --waitPid 4242 --root "C:\My Games\App" --packageDir "C:\My Games\App\packages")"},
        {"empty restart argument keeps its place",
         u"C:\\App",
         false,
         WaitTarget::CurrentProcess(),
         true,
         {"a", "", "b"},
         head + "--waitPid 4242 " + tail + R"( -- a "" b)"},
        {"no restart arguments, no separator",
         u"C:\\App",
         false,
         WaitTarget::CurrentProcess(),
         true,
         {},
         head + "--waitPid 4242 " + tail},
        {"quotes and backslashes",
         u"C:\\App",
         false,
         WaitTarget::CurrentProcess(),
         true,
         {"a\"b", "C:\\x y\\", "a\\\\\"b"},
         head + "--waitPid 4242 " + tail + R"( -- a\"b "C:\x y\\" a\\\\\"b)"},
        {"silent without restart",
         u"C:\\App",
         true,
         WaitTarget::CurrentProcess(),
         false,
         {},
         head + "--waitPid 4242 --silent --norestart " + tail},
        {"no wait", u"C:\\App", false, WaitTarget::NoWait(), true, {}, head + tail},
        {"given process id",
         u"C:\\App",
         false,
         WaitTarget::ProcessId(7),
         true,
         {},
         head + "--waitPid 7 " + tail},
        {"tab is quoted, non-ASCII is kept",
         u"C:\\App",
         false,
         WaitTarget::NoWait(),
         true,
         {"a\tb", "Çığ öşü"},
         head + tail + " -- \"a\tb\" \"Çığ öşü\""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(LineFor(ConfigAt(c.root), "App-2.0.0-full.nupkg", c.silent, c.wait, c.restart,
                          c.restartArgs),
                  c.expected)
            << c.name;
    }
}

TEST(UpdaterCommandLine, NulInAnArgumentFails) {
    const LocatorConfig config = ConfigAt(u"C:\\App");
    for (const std::string& bad : {std::string("a\0b", 3), std::string(1, '\0')}) {
        Result<std::u16string> line = BuildCommandLine(
            config.updaterPath, BuildUpdaterArguments(config, P(u"C:\\App\\packages\\x"), false,
                                                      WaitTarget::NoWait(), 0, true, {"ok", bad}));
        ASSERT_FALSE(line.ok());
        EXPECT_EQ(line.error().Debug(),
                  R"(Io(Custom { kind: InvalidInput, error: "nul byte found in provided data" }))");
    }
    // A NUL in the package file name is caught the same way.
    Result<std::u16string> line = BuildCommandLine(
        config.updaterPath,
        BuildUpdaterArguments(config, JoinPath(config.packagesDir, std::u16string_view(u"x\0y", 3)),
                              false, WaitTarget::NoWait(), 0, true, {}));
    EXPECT_FALSE(line.ok());
}

// Random arguments made of the characters the quoting rules care about, split back with the same
// splitter the start-up uses for its own command line.
TEST(UpdaterCommandLine, SplitsBackIntoTheSameArguments) {
    const std::vector<std::u16string> pieces = {
        u"\\",     u"\\\\",   u"\\\\\\",     u"\"",   u"\"\"", u" ", u"  ",
        u"\t",     u"a",      u"Z9",         u"-",    u"=",    u"ğ", u"İ",
        u"\u00e9", u"\u4e2d", u"\U0001F600", u"\\\"", u"'",    u"^", u"%PATH%"};
    const std::vector<std::u16string> programs = {
        u"C:\\App\\Update.exe", u"C:\\My Games\\Zelt Oy\\Update.exe",
        u"\\\\srv\\share\\a b\\Update.exe", u"Update.exe"};
    const uint32_t seed = std::random_device{}();
    std::mt19937 rng(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    for (int round = 0; round < 3000; ++round) {
        std::vector<std::u16string> args(rng() % 7);
        for (std::u16string& arg : args) {
            const size_t n = rng() % 6;  // zero pieces gives an empty argument
            for (size_t i = 0; i < n; ++i) arg += pieces[rng() % pieces.size()];
        }
        const Path program = P(programs[rng() % programs.size()]);
        Result<std::u16string> line = BuildCommandLine(program, args);
        ASSERT_TRUE(line.ok());
        const std::u16string_view text = std::u16string_view(*line).substr(0, line->size() - 1);
        ASSERT_EQ(SplitCommandLine(text), args) << Utf16ToUtf8Lossy(text);
        // The program part comes back too: quoted, unescaped, up to the first blank after it.
        ASSERT_EQ(text.substr(0, program.Units().size() + 2), u"\"" + program.Units() + u"\"");
    }
}

TEST(EnvironmentBlock, ParsedInBlockOrder) {
    const std::u16string block =
        Block({u"=C:=C:\\Games", u"=ExitCode=00000000", u"PATH=C:\\Windows", u"EMPTY=", u"NOEQUALS",
               u"A=b=c", u"ÇAĞ=değer"}) +
        Block({u"IGNORED=after the end"});
    const std::vector<EnvEntry> entries = ParseEnvironmentBlock(block);
    const std::vector<std::pair<std::u16string, std::u16string>> expected = {
        {u"=C:", u"C:\\Games"},
        {u"=ExitCode", u"00000000"},
        {u"PATH", u"C:\\Windows"},
        {u"EMPTY", u""},
        {u"A", u"b=c"},
        {u"ÇAĞ", u"değer"}};
    ASSERT_EQ(entries.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(entries[i].name, expected[i].first) << i;
        EXPECT_EQ(entries[i].value, expected[i].second) << i;
    }
}

TEST(EnvironmentBlock, UnterminatedAndEmptyBlocks) {
    EXPECT_TRUE(ParseEnvironmentBlock(u"").empty());
    EXPECT_TRUE(ParseEnvironmentBlock(Block({})).empty());
    const std::vector<EnvEntry> two = ParseEnvironmentBlock(std::u16string(u"A=1\0B=2", 7));
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[1].name, u"B");
    EXPECT_EQ(two[1].value, u"2");
}

TEST(EnvironmentBlock, BuiltFromKeptEntries) {
    struct Case {
        const char* name;
        std::u16string systemBlock;
        std::optional<std::u16string> expected;
    };
    using S = std::u16string;
    const Case cases[] = {
        {"drive folders, empty values and empty names left out",
         Block({u"=C:=C:\\x", u"PATH=C:\\W", u"EMPTY=", u"=", u"A=b=c"}),
         Block({u"PATH=C:\\W", u"A=b=c"})},
        {"only entries named with a leading equals sign", Block({u"=C:=C:\\x", u"=D:=D:\\"}),
         std::nullopt},
        {"only empty values", Block({u"X=", u"Y="}), std::nullopt},
        {"empty block", S(), std::nullopt},
        {"order kept, case kept", Block({u"b=1", u"A=2", u"a=3"}), Block({u"b=1", u"A=2", u"a=3"})},
    };
    for (const Case& c : cases) {
        Result<std::optional<std::u16string>> block =
            BuildEnvironmentBlock(ParseEnvironmentBlock(c.systemBlock));
        ASSERT_TRUE(block.ok()) << c.name;
        EXPECT_EQ(block.value(), c.expected) << c.name;
    }
}

TEST(EnvironmentBlock, NulInAKeptEntryFails) {
    const std::vector<std::vector<EnvEntry>> bad = {
        {{u"A", u"1"}, {std::u16string(u"B\0C", 3), u"2"}},
        {{u"A", std::u16string(u"x\0", 2)}},
    };
    for (const auto& entries : bad) {
        Result<std::optional<std::u16string>> block = BuildEnvironmentBlock(entries);
        ASSERT_FALSE(block.ok());
        EXPECT_EQ(block.error().Debug(),
                  R"(Io(Custom { kind: InvalidInput, error: "nul byte found in provided data" }))");
    }
    // A NUL in an entry that is left out anyway does no harm.
    Result<std::optional<std::u16string>> block =
        BuildEnvironmentBlock({{std::u16string(u"=C\0", 3), u"x"}, {u"A", u"1"}});
    ASSERT_TRUE(block.ok());
    EXPECT_EQ(block.value(), std::u16string(u"A=1\0\0", 5));
}

TEST(WideStringDebug, PathsShowTheTextBuffersShowTheirNul) {
    const WideString path = WideString::FromPath(P(u"C:\\My \"Games\"\\Update.exe"));
    EXPECT_EQ(path.Buffer(), std::u16string(u"C:\\My \"Games\"\\Update.exe") + u'\0');
    EXPECT_EQ(path.Debug(), R"(WideString("C:\\My \"Games\"\\Update.exe"))");
    const WideString lone = WideString::FromPath(P(std::u16string(1, char16_t(0xD800))));
    EXPECT_EQ(lone.Debug(), R"(WideString("\u{d800}"))");
    EXPECT_EQ(WideString::FromPath(Path()).Debug(), R"(WideString(""))");
    EXPECT_EQ(WideString::FromPath(Path()).Buffer(), std::u16string(1, u'\0'));
    const WideString line = WideString::FromBuffer(std::u16string(u"\"C:\\a\" x\0", 9));
    EXPECT_EQ(line.Debug(), R"(WideString("\"C:\\a\" x\0"))");
}

TEST(LaunchLog, TheTwoInfoLines) {
    CapturedLog log;
    const LocatorConfig config = ConfigAt(u"C:\\App");
    Result<std::u16string> line = BuildCommandLine(
        config.updaterPath,
        BuildUpdaterArguments(config, P(u"C:\\App\\packages\\App-2.0.0-full.nupkg"), false,
                              WaitTarget::CurrentProcess(), 4242, true, {"-slot 2"}));
    ASSERT_TRUE(line.ok());
    LaunchPlan plan{WideString::FromPath(config.updaterPath), WideString::FromPath(config.rootDir),
                    WideString::FromBuffer(*line),
                    WideString::FromBuffer(std::u16string(u"A=1\0\0", 5))};
    LogLaunchPlan(plan);
    plan.workingDir.reset();
    plan.environment.reset();
    LogLaunchPlan(plan);

    const std::string about =
        R"(About to launch: 'WideString("C:\\App\\Update.exe")' in dir '{DIR}' with arguments: )"
        R"(WideString("\"C:\\App\\Update.exe\" apply --package C:\\App\\packages\\App-2.0.0-full.nupkg )"
        R"(--waitPid 4242 --root C:\\App --packageDir C:\\App\\packages -- \"-slot 2\"\0"))";
    auto with = [&](const std::string& dir) {
        std::string s = about;
        s.replace(s.find("{DIR}"), 5, dir);
        return s;
    };
    const std::vector<LogLine> expected = {
        {Level::Info, "upkit::process", with(R"(Some(WideString("C:\\App")))")},
        {Level::Info, "upkit::process",
         "Environment block present: true, flags: PROCESS_CREATION_FLAGS(134218752)"},
        {Level::Info, "upkit::process", with("None")},
        {Level::Info, "upkit::process",
         "Environment block present: false, flags: PROCESS_CREATION_FLAGS(134218752)"},
    };
    EXPECT_EQ(log.Lines(), expected);
}

TEST(LaunchPlanning, MissingPackageIsReportedAndNothingElseHappens) {
    CapturedLog log;
    Result<LaunchPlan> plan =
        PlanUpdaterLaunch(SystemFileSystem(), ConfigAt(u"C:\\App"), "x-full.nupkg", false,
                          WaitTarget::CurrentProcess(), 1, true, {}, std::u16string(u"A=1\0\0", 5));
    ASSERT_FALSE(plan.ok());
    EXPECT_EQ(plan.error().Debug(), R"(FileNotFound("C:\\App\\packages\\x-full.nupkg"))");
    const std::vector<LogLine> expected = {
        {Level::Error, "upkit::manager",
         R"(Package does not exist on disk: '"C:\\App\\packages\\x-full.nupkg"')"}};
    EXPECT_EQ(log.Lines(), expected);
}

// A folder holding one package file; its path ends in a separator so that joining works with the
// native build's paths too.
class PackageFolder {
public:
    PackageFolder() {
        dir_ = std::filesystem::temp_directory_path() /
               ("upkit-process-" + std::to_string(std::random_device{}()));
        std::filesystem::create_directories(dir_);
        std::ofstream(dir_ / "App-2.0.0-full.nupkg") << "x";
    }
    ~PackageFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    Path Root() const {
#ifdef _WIN32
        return P(reinterpret_cast<const char16_t*>(dir_.native().c_str()));
#else
        return Path::FromUtf8(dir_.native());
#endif
    }

private:
    std::filesystem::path dir_;
};

TEST(LaunchPlanning, ExistingPackageGivesTheWholePlan) {
    PackageFolder folder;
    LocatorConfig config;
    config.rootDir = folder.Root();
    config.packagesDir = Path(folder.Root().Units() + u"/");
    config.updaterPath = Path(folder.Root().Units() + u"/Update.exe");
    const std::u16string system = Block({u"=C:=C:\\", u"PATH=x", u"EMPTY="});

    CapturedLog log;
    Result<LaunchPlan> plan =
        PlanUpdaterLaunch(SystemFileSystem(), config, "App-2.0.0-full.nupkg", false,
                          WaitTarget::CurrentProcess(), 99, true, {"-x", ""}, system);
    ASSERT_TRUE(plan.ok()) << plan.error().Debug();
    EXPECT_EQ(plan->program.Buffer(), config.updaterPath.Units() + u'\0');
    ASSERT_TRUE(plan->workingDir.has_value());
    EXPECT_EQ(plan->workingDir->Buffer(), config.rootDir.Units() + u'\0');
    ASSERT_TRUE(plan->environment.has_value());
    EXPECT_EQ(plan->environment->Buffer(), Block({u"PATH=x"}));

    const std::u16string& line = plan->commandLine.Buffer();
    const std::vector<std::u16string> args =
        SplitCommandLine(std::u16string_view(line).substr(0, line.size() - 1));
    const std::vector<std::u16string> expected = {
        u"apply",
        u"--package",
        config.packagesDir.Units() + u"App-2.0.0-full.nupkg",
        u"--waitPid",
        u"99",
        u"--root",
        config.rootDir.Units(),
        u"--packageDir",
        config.packagesDir.Units(),
        u"--",
        u"-x",
        u""};
    EXPECT_EQ(args, expected);
    // Planning alone writes nothing: the launch lines come just before the process is created.
    EXPECT_TRUE(log.Lines().empty());
}

TEST(LaunchPlanning, WorkingDirectoryFollowsTheUpdaterPath) {
    PackageFolder folder;
    struct Case {
        std::u16string updater;
        std::optional<std::u16string> workingDir;
    };
    const Case cases[] = {
        {u"C:\\App\\Update.exe", u"C:\\App"},
        {u"C:\\Update.exe", u"C:\\"},
        {u"Update.exe", u""},  // a bare name: the empty parent is passed on as it is
        {u"C:\\", std::nullopt},
        {u"C:", std::nullopt},
    };
    for (const Case& c : cases) {
        LocatorConfig config;
        config.packagesDir = Path(folder.Root().Units() + u"/");
        config.updaterPath = P(c.updater);
        Result<LaunchPlan> plan =
            PlanUpdaterLaunch(SystemFileSystem(), config, "App-2.0.0-full.nupkg", false,
                              WaitTarget::NoWait(), 0, true, {}, u"");
        ASSERT_TRUE(plan.ok());
        EXPECT_FALSE(plan->environment.has_value());
        if (c.workingDir) {
            ASSERT_TRUE(plan->workingDir.has_value()) << Utf16ToUtf8Lossy(c.updater);
            EXPECT_EQ(plan->workingDir->Buffer(), *c.workingDir + u'\0');
        } else {
            EXPECT_FALSE(plan->workingDir.has_value()) << Utf16ToUtf8Lossy(c.updater);
        }
    }
}

TEST(ProcessCreationError, HresultFromTheLastError) {
    struct Case {
        uint32_t lastError;
        int32_t code;
    };
    const Case cases[] = {
        {2, -2147024894},  // 0x80070002
        {5, static_cast<int32_t>(0x80070005u)},
        {0, 0},
        {0x12345u, static_cast<int32_t>(0x80072345u)},  // only the low 16 bits are kept
        {0xFFFFFFFFu, static_cast<int32_t>(0x8007FFFFu)},
    };
    for (const Case& c : cases) {
        const IoError error = ProcessCreationError(c.lastError);
        EXPECT_TRUE(error.IsOs());
        EXPECT_EQ(error.OsCode(), c.code) << c.lastError;
    }
    EXPECT_EQ(RuntimeError::Io(ProcessCreationError(2)).Debug(),
              "Io(Os { code: -2147024894, kind: Uncategorized, message: " +
                  QuoteText(SystemErrorMessage(-2147024894)) + " })");
}

}  // namespace
}  // namespace upkit
