// A fresh folder under the system's temporary folder for tests that need real files, on Windows
// and in the native build alike; removed with its contents afterwards.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "misc_path.h"

namespace upkit::testing {

// A file-system path from UTF-8 text.
inline std::filesystem::path Utf8Path(std::string_view text) {
    return std::filesystem::path(
        std::u8string(reinterpret_cast<const char8_t*>(text.data()), text.size()));
}

class ScratchDir {
public:
    ScratchDir() {
        static std::atomic<unsigned> counter{0};
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        dir_ = std::filesystem::temp_directory_path() /
               ("upkit-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
        std::filesystem::create_directories(dir_);
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& Native() const { return dir_; }

    // Writes the bytes to a file at the relative path (given as UTF-8), creating folders.
    std::filesystem::path Write(std::string_view relative, std::string_view bytes) const {
        const std::filesystem::path file = dir_ / Utf8Path(relative);
        std::filesystem::create_directories(file.parent_path());
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        EXPECT_TRUE(out.good()) << "cannot write " << file.string();
        return file;
    }

    // A file of `size` bytes that are zero but for `end` at its end, the zeros left as a hole
    // (nothing written for them), so a file of gigabytes costs no disk space.
    std::filesystem::path WriteSparse(std::string_view relative, uint64_t size,
                                      std::string_view end) const {
        const std::filesystem::path file = Write(relative, "");
        std::filesystem::resize_file(file, size - end.size());
        std::ofstream out(file, std::ios::binary | std::ios::app);
        out.write(end.data(), static_cast<std::streamsize>(end.size()));
        EXPECT_TRUE(out.good()) << "cannot write " << file.string();
        return file;
    }

    std::filesystem::path MakeDir(std::string_view relative) const {
        const std::filesystem::path sub = dir_ / Utf8Path(relative);
        std::filesystem::create_directories(sub);
        return sub;
    }

private:
    std::filesystem::path dir_;
};

// The runtime's path for a file-system path. In the native build a directory gets a trailing "/"
// so that the runtime's joins (which put "\" between parts) give paths the system understands.
inline Path RuntimePath(const std::filesystem::path& path, bool directory = false) {
#ifdef _WIN32
    (void)directory;
    return Path(path.u16string());
#else
    std::string text = path.string();
    if (directory && (text.empty() || text.back() != '/')) text += '/';
    return Path::FromUtf8(text);
#endif
}

}  // namespace upkit::testing
