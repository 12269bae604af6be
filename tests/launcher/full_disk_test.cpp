// The per-user copy of the updater on a drive without room for it. The root refuses new files, so
// the start copies Update.exe into the per-user folder, which lies on a small drive of its own
// that the test fills up first. The copy cannot be finished: nothing of it may remain, the failure
// must reach the log, and the game starts all the same. Once there is room again, the next start
// makes a whole copy: a broken updater is never left in place.
//
// The small drive: under Wine, the harness mounts a 2 MiB tmpfs where the folder goes
// (scripts/full-disk, from CTest or scripts/test) and names the installation id in
// ZELT_FULL_DISK_ID. On Windows, a run that may change the system and is elevated mounts an 8 MiB
// virtual disk there itself (diskpart), and detaches and deletes it afterwards.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "hostile_game.h"

namespace zelt::test::hostile {
namespace {

constexpr char kWindowsId[] = "Zelt.FullDisk";

bool Elevated() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    const bool ok =
        GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) != 0;
    CloseHandle(token);
    return ok && elevation.TokenIsElevated != 0;
}

// Runs diskpart with the script; its output goes to the test's output when it fails.
bool RunDiskpart(const TempDir& scratch, const std::string& script) {
    const std::wstring file = scratch / L"diskpart.txt";
    if (!WriteFile(file, script)) return false;
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    ProcessSpec invocation;
    invocation.application = JoinPath(system, L"diskpart.exe");
    invocation.commandLine = QuoteArgument(invocation.application) + L" /s " + QuoteArgument(file);
    invocation.outputFile = scratch / L"diskpart-output.txt";
    invocation.timeoutMs = 120000;
    const std::optional<DWORD> code = RunProcess(invocation);
    if (code == std::optional<DWORD>(0)) return true;
    ADD_FAILURE() << "diskpart failed:\n" << TryReadFile(invocation.outputFile).value_or("");
    return false;
}

// What the folder holds, but for what NTFS keeps at a volume's root ("System Volume Information",
// "$RECYCLE.BIN").
std::vector<std::wstring> Entries(const std::wstring& folder) {
    std::vector<std::wstring> names;
    for (const std::wstring& name : ListDir(folder)) {
        if (name != L"System Volume Information" && name.rfind(L"$", 0) != 0) names.push_back(name);
    }
    return names;
}

// An 8 MiB NTFS virtual disk mounted at a folder, detached and deleted when it goes away.
class VirtualDrive {
public:
    explicit VirtualDrive(const std::wstring& mountFolder) : mount_(mountFolder) {
        RemoveTree(mount_);
        if (!MakeDirs(mount_)) return;
        const std::string vhd = Narrow(scratch_ / L"zelt-full-disk.vhdx");
        attached_ = RunDiskpart(scratch_, "create vdisk file=\"" + vhd +
                                              "\" maximum=8 type=fixed\n"
                                              "select vdisk file=\"" +
                                              vhd +
                                              "\"\n"
                                              "attach vdisk\n"
                                              "create partition primary\n"
                                              "format fs=ntfs label=ZeltFull quick\n"
                                              "assign mount=\"" +
                                              Narrow(mount_) + "\"\nexit\n");
    }
    ~VirtualDrive() {
        const std::string vhd = Narrow(scratch_ / L"zelt-full-disk.vhdx");
        if (attached_) {
            RunDiskpart(scratch_, "select vdisk file=\"" + vhd + "\"\ndetach vdisk\nexit\n");
        }
        RemoveDirectoryW(mount_.c_str());
        RemoveTree(mount_);
    }
    VirtualDrive(const VirtualDrive&) = delete;
    VirtualDrive& operator=(const VirtualDrive&) = delete;
    bool attached() const { return attached_; }

private:
    TempDir scratch_{L"vhd"};
    std::wstring mount_;
    bool attached_ = false;
};

std::optional<ULONGLONG> FreeBytes(const std::wstring& dir, ULONGLONG* total = nullptr) {
    ULARGE_INTEGER available;
    ULARGE_INTEGER all;
    if (!GetDiskFreeSpaceExW(dir.c_str(), &available, &all, nullptr)) return std::nullopt;
    if (total != nullptr) *total = all.QuadPart;
    return available.QuadPart;
}

TEST(FullDisk, AnUpdaterCopyThatDoesNotFitLeavesNothingAndIsLogged) {
    const char* mounted = std::getenv("ZELT_FULL_DISK_ID");
    std::unique_ptr<VirtualDrive> drive;
    if (mounted == nullptr) {
        ZELT_SKIP_UNLESS_SYSTEM_CHANGES_ALLOWED("mounts a small drive of its own for the test");
        if (RunningOnWine()) {
            GTEST_SKIP()
                << "no small drive: under Wine the harness mounts one (CTest, scripts/test)";
        }
        if (!Elevated()) {
            GTEST_SKIP() << "needs an elevated run: mounting a virtual disk (diskpart) needs "
                            "administrator rights";
        }
        drive = std::make_unique<VirtualDrive>(JoinPath(LocalAppData(), Widen(kWindowsId)));
        ASSERT_TRUE(drive->attached());
    }
    const char* id = mounted != nullptr ? mounted : kWindowsId;
    const std::wstring fallback = JoinPath(LocalAppData(), Widen(id));
    ULONGLONG total = 0;
    if (!FreeBytes(fallback, &total) || total > (8u << 20)) {
        GTEST_SKIP() << "no small drive at " << Narrow(fallback) << " (mounting it needs root)";
    }
    for (const std::wstring& name : Entries(fallback)) RemoveTree(JoinPath(fallback, name));

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
    EXPECT_EQ(Entries(fallback), Names({L"filler.bin", L"packages"}))
        << "a partial copy of the updater was left";

    ASSERT_TRUE(RemoveTree(filler));
    const Outcome freed = Start({.exe = site.install.exe, .log = log.path()});
    ExpectEngineStarted(freed, L"");
    const std::optional<std::string> made = TryReadFile(copy);
    EXPECT_TRUE(made == updater) << "the copy made once there is room holds "
                                 << (made ? std::to_string(made->size()) : "no") << " bytes of "
                                 << updater.size();
    EXPECT_EQ(Entries(fallback), Names({L"Update.exe", L"packages"}));
}

}  // namespace
}  // namespace zelt::test::hostile
