// The log file shared by several processes on a real file system (natively and under Wine): each
// start of the game has a writer of its own over the same file, and a rotation by one of them must
// never move another's file over the older lines.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "logging_file.h"
#include "scratch_dir.h"

namespace upkit {
namespace {

using testing::RuntimePath;
using testing::ScratchDir;

constexpr uint64_t kLimit = 4096;

std::string Contents(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> LinesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Two writers over one file, as two processes of the same installation have it: A and B open the
// log, A's lines take it past the limit and A rotates, then B, whose count still stands at the
// size it found, writes on until its count passes the limit as well, and both go on writing.
TEST(SharedLogFile, AStaleWriterNeverMovesAnotherWritersFileOverTheOlderLines) {
    ScratchDir dir;
    const std::filesystem::path file = dir.Native() / "upkit.log";
    std::string history;
    for (int i = 0; history.size() < kLimit - 200; ++i)
        history += "older " + std::to_string(i) + "\n";
    dir.Write("upkit.log", history);

    const Path path = RuntimePath(file);
    RotatingLogFile a(path, SystemFileSystem(), kLimit);
    RotatingLogFile b(path, SystemFileSystem(), kLimit);
    a.SetUp();
    b.SetUp();
    ASSERT_TRUE(a.IsOpen() && b.IsOpen());
    EXPECT_EQ(b.FileSize(), history.size());

    std::vector<std::string> written;
    const auto write = [&written](RotatingLogFile& log, const std::string& line) {
        log.WriteLine(line + "\n");
        written.push_back(line);
    };
    int n = 0;
    while (!std::filesystem::exists(file.string() + ".old")) write(a, "A " + std::to_string(n++));
    write(a, "A " + std::to_string(n++));
    for (int i = 0; i < 40; ++i) write(b, "B " + std::to_string(i));
    for (int i = 0; i < 5; ++i) write(a, "A " + std::to_string(n++));
    for (int i = 40; i < 45; ++i) write(b, "B " + std::to_string(i));

    const std::string old = Contents(file.string() + ".old");
    const std::string current = Contents(file);
    // The older lines are still in ".old", ahead of everything written since.
    ASSERT_TRUE(old.starts_with(history))
        << "the older lines are gone; .old begins with: " << old.substr(0, 40);
    // Every line written by either is in one of the two files, exactly once.
    std::map<std::string, int> seen;
    for (const std::string& line : LinesOf(old.substr(history.size()) + current)) ++seen[line];
    for (const std::string& line : written) {
        EXPECT_EQ(seen[line], 1) << line;
        seen.erase(line);
    }
    EXPECT_TRUE(seen.empty()) << seen.size()
                              << " lines nobody wrote, first: " << seen.begin()->first;
    // B took up the file A started.
    EXPECT_NE(current.find("B 44\n"), std::string::npos);
}

}  // namespace
}  // namespace upkit
