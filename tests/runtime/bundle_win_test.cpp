// Package files and other processes: an open bundle never stands in the way of the updater, and
// a file another process holds without sharing is retried and then given up.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "bundle.h"
#include "log_capture.h"
#include "scratch_dir.h"
#include "zip_writer.h"

namespace upkit {
namespace {

using testing::CapturedLog;
using testing::RuntimePath;
using testing::ScratchDir;

class Handle {
public:
    explicit Handle(HANDLE h) : h_(h) {}
    ~Handle() {
        if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    bool Valid() const { return h_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE h_;
};

Handle Open(const std::filesystem::path& file, DWORD access, DWORD share) {
    return Handle(CreateFileW(file.c_str(), access, share, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

TEST(LoadBundleFromFileWin, OthersMayWriteRenameAndDeleteWhileABundleIsOpen) {
    ScratchDir dir;
    const auto file = dir.Write("App-1.0.0-full.nupkg", zelt::zipw::Package("App", "1.0.0"));
    {
        // A writer that shares everything does not keep the package from being opened.
        Handle writer = Open(file, GENERIC_READ | GENERIC_WRITE, kShareAll);
        ASSERT_TRUE(writer.Valid());
        auto bundle = LoadBundleFromFile(RuntimePath(file));
        ASSERT_TRUE(bundle.ok()) << bundle.error().Debug();
        ASSERT_TRUE(ReadBundleManifest(*bundle).ok());
    }
    auto bundle = LoadBundleFromFile(RuntimePath(file));
    ASSERT_TRUE(bundle.ok()) << bundle.error().Debug();
    {
        Handle writer = Open(file, GENERIC_WRITE, kShareAll);
        EXPECT_TRUE(writer.Valid()) << GetLastError();
    }
    const auto renamed = dir.Native() / "renamed.nupkg";
    EXPECT_TRUE(MoveFileExW(file.c_str(), renamed.c_str(), 0)) << GetLastError();
    EXPECT_TRUE(DeleteFileW(renamed.c_str())) << GetLastError();
    // What was read before stays readable through the open handle.
    auto manifest = ReadBundleManifest(*bundle);
    ASSERT_TRUE(manifest.ok()) << manifest.error().Debug();
    EXPECT_EQ(manifest->id, "App");
}

TEST(LoadBundleFromFileWin, FileHeldWithoutSharingIsAnIoErrorAfterFourAttempts) {
    ScratchDir dir;
    const auto file = dir.Write("App-1.0.0-full.nupkg", zelt::zipw::Package("App", "1.0.0"));
    Handle holder = Open(file, GENERIC_READ, 0);
    ASSERT_TRUE(holder.Valid());
    CapturedLog log;
    const auto start = std::chrono::steady_clock::now();
    auto bundle = LoadBundleFromFile(RuntimePath(file));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_FALSE(bundle.ok());
    ASSERT_NE(bundle.error().AsIo(), nullptr) << bundle.error().Debug();
    EXPECT_TRUE(bundle.error().AsIo()->IsOs());
    EXPECT_EQ(bundle.error().AsIo()->OsCode(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(log.Lines(Level::Warn).size(), 3u);
    EXPECT_GE(elapsed, std::chrono::milliseconds(333 + 666 + 1000));
}

TEST(LoadBundleFromFileWin, PathWithANulCharacterIsRefused) {
    std::u16string units = u"C:\\packages\\App-full.nupkg";
    units[3] = u'\0';
    auto bundle = LoadBundleFromFile(Path(units));
    ASSERT_FALSE(bundle.ok());
    EXPECT_EQ(bundle.error().Debug(),
              R"(Io(Custom { kind: InvalidInput, error: "nul byte found in provided data" }))");
}

}  // namespace
}  // namespace upkit
