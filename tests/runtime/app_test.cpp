// The start-up request of one run, built from the options a host set and the process's command
// line.
#include "app.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "statics.h"
#include "version.h"

namespace upkit {
namespace {

const std::u16string kCommandLine = u"\"C:\\Games\\ZeltOy2.exe\" --upkit-install 1.2.3";
// The arguments after the program name.
const std::vector<std::string> kCommandLineArgs = {"--upkit-install", "1.2.3"};

TEST(StartupRequest, DefaultsAndWhatTheOptionsChange) {
    struct Case {
        const char* name;
        AppOptions options;
        std::vector<std::string> args;
        std::optional<std::u16string> locatorRoot;
        bool applyOnStart;
    };
    AppOptions applyOff;
    applyOff.applyOnStart = false;
    AppOptions applyOn;
    applyOn.applyOnStart = true;
    AppOptions argsGiven;
    argsGiven.argsOverride = std::vector<std::string>{"game.exe", "--windowed"};
    AppOptions noArgsGiven;
    noArgsGiven.argsOverride = std::vector<std::string>{};
    AppOptions locatorGiven;
    locatorGiven.locatorOverride = LocatorConfig();
    locatorGiven.locatorOverride->rootDir = Path(u"D:\\Zelt");
    const Case cases[] = {
        {"nothing set", AppOptions{}, kCommandLineArgs, std::nullopt, true},
        {"apply-on-start turned off", applyOff, kCommandLineArgs, std::nullopt, false},
        {"apply-on-start turned on", applyOn, kCommandLineArgs, std::nullopt, true},
        {"arguments given", argsGiven, {"game.exe", "--windowed"}, std::nullopt, true},
        // An empty list given is the list, not a reason to read the command line.
        {"no arguments given", noArgsGiven, {}, std::nullopt, true},
        {"installation given", locatorGiven, kCommandLineArgs, u"D:\\Zelt", true},
    };
    for (const Case& c : cases) {
        const UpkitApp request = BuildStartupRequest(c.options, kCommandLine, nullptr);
        EXPECT_EQ(request.args, c.args) << c.name;
        EXPECT_EQ(request.applyOnStart, c.applyOnStart) << c.name;
        ASSERT_EQ(request.locatorOverride.has_value(), c.locatorRoot.has_value()) << c.name;
        if (c.locatorRoot) {
            EXPECT_EQ(request.locatorOverride->rootDir.Units(), *c.locatorRoot) << c.name;
        }
        for (const auto* hook : {&request.onInstall, &request.onUpdated, &request.onObsolete,
                                 &request.onUninstall, &request.onFirstRun, &request.onRestarted}) {
            EXPECT_FALSE(hook->has_value()) << c.name;
        }
    }
}

void Record(void* userData, const char* version) {
    static_cast<std::vector<std::string>*>(userData)->push_back(version);
}

// Each hook set in the options becomes the request's hook of the same event, which hands the
// host's user data and the version's text to the host's function.
TEST(StartupRequest, EachHookReachesItsOwnEventWithTheUserData) {
    struct Hook {
        const char* name;
        VersionHookFn AppOptions::*option;
        std::optional<VersionHook> UpkitApp::*field;
    };
    const Hook hooks[] = {
        {"install", &AppOptions::onInstall, &UpkitApp::onInstall},
        {"updated", &AppOptions::onUpdated, &UpkitApp::onUpdated},
        {"obsolete", &AppOptions::onObsolete, &UpkitApp::onObsolete},
        {"uninstall", &AppOptions::onUninstall, &UpkitApp::onUninstall},
        {"first run", &AppOptions::onFirstRun, &UpkitApp::onFirstRun},
        {"restarted", &AppOptions::onRestarted, &UpkitApp::onRestarted},
    };
    const Result<Version> version = ParseVersion("2.0.0-beta.1+build.7");
    ASSERT_TRUE(version.ok());
    for (const Hook& set : hooks) {
        AppOptions options;
        options.*set.option = Record;
        std::vector<std::string> calls;
        UpkitApp request = BuildStartupRequest(options, kCommandLine, &calls);
        for (const Hook& h : hooks) {
            EXPECT_EQ((request.*h.field).has_value(), &h == &set) << set.name << ": " << h.name;
        }
        ASSERT_TRUE((request.*set.field).has_value()) << set.name;
        (*(request.*set.field))(version.value());
        EXPECT_EQ(calls, std::vector<std::string>{"2.0.0-beta.1+build.7"}) << set.name;
    }
}

}  // namespace
}  // namespace upkit
