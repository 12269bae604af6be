// The per-user copy of the updater on a drive without room for it. The root refuses new files, so
// the start copies Update.exe into the per-user folder, which CTest has put on a 2 MiB drive of its
// own (scripts/full-disk) that the test fills up first. The copy cannot be finished: nothing of it
// may remain, the failure must reach the log, and the game starts all the same. Once there is
// room again, the next start makes a whole copy: a broken updater is never left in place.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "hostile_game.h"

namespace zelt::test::hostile {
namespace {

std::optional<ULONGLONG> FreeBytes(const std::wstring& dir, ULONGLONG* total = nullptr) {
    ULARGE_INTEGER available;
    ULARGE_INTEGER all;
    if (!GetDiskFreeSpaceExW(dir.c_str(), &available, &all, nullptr)) return std::nullopt;
    if (total != nullptr) *total = all.QuadPart;
    return available.QuadPart;
}

TEST(FullDisk, AnUpdaterCopyThatDoesNotFitLeavesNothingAndIsLogged) {
    const char* id = std::getenv("ZELT_FULL_DISK_ID");
    if (id == nullptr) GTEST_SKIP() << "runs under CTest, which mounts the small drive";
    const std::wstring fallback = JoinPath(LocalAppData(), Widen(id));
    ULONGLONG total = 0;
    if (!FreeBytes(fallback, &total) || total > (8u << 20)) {
        GTEST_SKIP() << "no small drive at " << Narrow(fallback) << " (mounting it needs root)";
    }
    for (const std::wstring& name : ListDir(fallback)) RemoveTree(JoinPath(fallback, name));

    const Site site(id);
    ASSERT_TRUE(MakeDirs(JoinPath(site.install.root, L".upkit_dir_test")));
    const std::string updater = ReadFile(site.install.updateExe);
    const std::wstring copy = JoinPath(fallback, L"Update.exe");
    const LogFiles log(LogFileFor(site.id));

    // Leave room for half the updater.
    const std::wstring filler = JoinPath(fallback, L"filler.bin");
    const std::optional<ULONGLONG> room = FreeBytes(fallback);
    ASSERT_TRUE(room.has_value());
    ASSERT_GT(*room, updater.size());
    ASSERT_TRUE(WriteFile(filler, std::string(*room - updater.size() / 2, 'f')));
    ASSERT_LT(FreeBytes(fallback).value_or(0), updater.size());

    const Outcome full = Start({.exe = site.install.exe, .log = log.path()});
    ExpectEngineStarted(full, L"");
    ExpectLog(full, {{Lv::Warn, "Failed to open directory for writing *", kSome},
                     {Lv::Error, "Failed to copy Update.exe to fallback path: * (os error 112)"}});
    EXPECT_EQ(ListDir(fallback), Names({L"filler.bin", L"packages"}))
        << "a partial copy of the updater was left";

    ASSERT_TRUE(RemoveTree(filler));
    const Outcome freed = Start({.exe = site.install.exe, .log = log.path()});
    ExpectEngineStarted(freed, L"");
    const std::optional<std::string> made = TryReadFile(copy);
    EXPECT_TRUE(made == updater) << "the copy made once there is room holds "
                                 << (made ? std::to_string(made->size()) : "no") << " bytes of "
                                 << updater.size();
    EXPECT_EQ(ListDir(fallback), Names({L"Update.exe", L"packages"}));
}

}  // namespace
}  // namespace zelt::test::hostile
