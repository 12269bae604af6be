// The platform-independent half of the file-system layer: the retry schedule and the budget its
// pauses share within one start.
#include "misc.h"

#include <string>

#include "logging.h"

namespace upkit {

namespace {

constexpr const char* kTarget = "upkit::misc";

// The budget of the start running on this thread: a start runs on its caller's thread from
// beginning to end, so the pauses it takes are exactly those taken on that thread meanwhile.
thread_local detail::RetryBudget* t_budget = nullptr;

}  // namespace

namespace detail {

bool RetryPause(int failedAttempt, const IoError& error) {
    static constexpr int kPausesMs[] = {333, 666, 1000};
    const int index = failedAttempt < 1 ? 0 : (failedAttempt > 3 ? 2 : failedAttempt - 1);
    const int pauseMs = kPausesMs[index];
    if (RetryBudget* budget = t_budget) {
        if (pauseMs > budget->leftMs) {
            if (!budget->announced && LogEnabled(Level::Warn)) {
                budget->announced = true;
                UPKIT_WARN(kTarget, "Retry budget of " + std::to_string(kRetryBudgetMs) +
                                        "ms for this start is spent; failing file operations are "
                                        "no longer retried (error was: " +
                                        error.Debug() + ")");
            }
            return false;
        }
        budget->leftMs -= pauseMs;
    }
    UPKIT_WARN(kTarget, "Retrying operation in " + std::to_string(pauseMs) +
                            "ms... (error was: " + error.Debug() + ")");
    SleepFor(std::chrono::milliseconds(pauseMs));
    return true;
}

}  // namespace detail

RetryBudgetScope::RetryBudgetScope() : previous_(t_budget) {
    t_budget = &budget_;
}

RetryBudgetScope::~RetryBudgetScope() {
    t_budget = previous_;
}

bool CanWriteToDirectory(FileSystem& fs, const Path& dir) {
    const Path probe = JoinPath(dir, ".upkit_dir_test");
    IoResult<Unit> probed = fs.ProbeNewFile(probe);
    if (probed) return true;
    UPKIT_WARN(kTarget, "Failed to open directory for writing " + PathDebug(probe) + ": " +
                            probed.error().Display());
    return false;
}

IoResult<Unit> CreateDirAll(FileSystem& fs, const Path& dir) {
    if (dir.Empty()) return Unit{};
    IoResult<Unit> made = fs.CreateOneDirectory(dir);
    if (made) return made;
    if (made.error().Kind() == IoErrorKind::NotFound) {
        // A parent is missing: make the parents first, then this one.
        const std::optional<Path> parent = ParentDir(dir);
        if (parent && !parent->Empty() && !(parent->Units() == dir.Units())) {
            IoResult<Unit> parents = CreateDirAll(fs, *parent);
            if (!parents) return parents;
            made = fs.CreateOneDirectory(dir);
            if (made) return made;
        }
    }
    // Taken by a directory is what was wanted; taken by a file is a failure.
    if (made.error().Kind() == IoErrorKind::AlreadyExists && fs.IsDirectory(dir)) return Unit{};
    return made;
}

bool PathExists(const Path& path) {
    return SystemFileSystem().Exists(path);
}

IoResult<std::u16string> SystemPathText(const Path& path) {
    if (path.Units().find(u'\0') != std::u16string::npos) {
        return IoError::WithMessage(IoErrorKind::InvalidInput, "nul byte found in provided data");
    }
    // Only the text handed to the system changes: the stored path, and every message about it,
    // keep what was given.
    return LongPathForm(path.Units());
}

}  // namespace upkit
