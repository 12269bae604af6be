// Capturing the runtime's log records in tests. The process-wide logger slot can be claimed only
// once, so the first capture installs a forwarding logger that hands each record to the capture
// that is active at the time. A capture admits every level (Trace) for its lifetime and restores
// the previous maximum level afterwards.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "logging.h"

namespace upkit::testing {

struct LogLine {
    Level level;
    std::string target;
    std::string message;
    bool operator==(const LogLine&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const LogLine& line) {
    return out << LevelUpperName(line.level) << " [" << line.target << "] " << line.message;
}

class CapturedLog {
public:
    CapturedLog() : previous_(MaxLevel()) {
        static const bool installed = InstallLogger(std::make_unique<Forwarder>());
        EXPECT_TRUE(installed) << "another logger was installed first; records cannot be seen";
        Active().store(this);
        SetMaxLevel(Level::Trace);
    }
    ~CapturedLog() {
        SetMaxLevel(previous_);
        Active().store(nullptr);
    }
    CapturedLog(const CapturedLog&) = delete;
    CapturedLog& operator=(const CapturedLog&) = delete;

    // Every record so far, in order.
    const std::vector<LogLine>& Lines() const { return lines_; }

    // The records of one level and target, in order.
    std::vector<LogLine> Lines(Level level, std::string_view target) const {
        std::vector<LogLine> out;
        for (const auto& line : lines_) {
            if (line.level == level && line.target == target) out.push_back(line);
        }
        return out;
    }

    // The records of one level, any target.
    std::vector<LogLine> Lines(Level level) const {
        std::vector<LogLine> out;
        for (const auto& line : lines_) {
            if (line.level == level) out.push_back(line);
        }
        return out;
    }

    void Clear() { lines_.clear(); }

private:
    class Forwarder final : public Logger {
    public:
        void Log(Level level, std::string_view target, std::string_view message) override {
            if (CapturedLog* capture = Active().load()) {
                capture->lines_.push_back(
                    LogLine{level, std::string(target), std::string(message)});
            }
        }
    };

    static std::atomic<CapturedLog*>& Active() {
        static std::atomic<CapturedLog*> active{nullptr};
        return active;
    }

    Level previous_;
    std::vector<LogLine> lines_;
};

}  // namespace upkit::testing
