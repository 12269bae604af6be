// A real start of ZeltOy2.exe inside an installation names its runtime log after the installed
// manifest's id, and the location made for that name writes nothing into the log.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "misc.h"
#include "zelt_test.h"

namespace {

namespace zt = zelt::test;

// The runtime log's folder, from the shell's account of the per-user folder, not the runtime's.
std::wstring LogDir() {
    return zelt::test::JoinPath(zelt::test::LocalAppDataFolder(), L"upkit");
}

TEST(InstalledGameLog, IsNamedAfterTheManifestId) {
    zt::TempDir dir(L"glog");
    const zt::Installation game =
        zt::LayOutInstallation(dir / L"ZeltOy2", zt::ManifestXml("LocTest.GameLog", "2.0.0"));
    const std::wstring log = LogDir() + L"\\upkit_LocTest.GameLog.log";
    DeleteFileW(log.c_str());
    DeleteFileW((log + L".old").c_str());

    zt::ProcessSpec invocation;
    invocation.application = game.exe;
    invocation.commandLine = zt::QuoteArgument(game.exe);
    invocation.workingDir = game.currentDir;
    invocation.env = {{L"ZELT_BASLATICI_KUTUSUZ", L"1"}};
    ASSERT_TRUE(zt::RunProcess(invocation).has_value());

    const std::optional<std::string> text = zt::TryReadFile(log);
    ASSERT_TRUE(text.has_value()) << "no " << zt::Narrow(log);
    // The first line is the start-up sequence's own: the silent location left nothing before it.
    EXPECT_THAT(text->substr(0, text->find('\n')),
                ::testing::EndsWith("[INFO] UpkitApp: Running with args: []"));
    DeleteFileW(log.c_str());
}

}  // namespace
