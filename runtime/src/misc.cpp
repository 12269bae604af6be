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

IoResult<std::u16string> SystemPathText(const Path& path) {
    if (path.Units().find(u'\0') != std::u16string::npos) {
        return IoError::WithMessage(IoErrorKind::InvalidInput, "nul byte found in provided data");
    }
    return path.Units();
}

}  // namespace upkit
