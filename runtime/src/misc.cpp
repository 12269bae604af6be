// The platform-independent half of the file-system layer: the retry schedule's pauses.
#include "misc.h"

#include <string>

#include "logging.h"

namespace upkit {

namespace {
constexpr const char* kTarget = "upkit::misc";
}  // namespace

namespace detail {

void RetryPause(int failedAttempt, const IoError& error) {
    // A broken installation should delay the start by about two seconds per operation, not more.
    static constexpr int kPausesMs[] = {333, 666, 1000};
    const int index = failedAttempt < 1 ? 0 : (failedAttempt > 3 ? 2 : failedAttempt - 1);
    const int pauseMs = kPausesMs[index];
    UPKIT_WARN(kTarget, "Retrying operation in " + std::to_string(pauseMs) +
                            "ms... (error was: " + error.Debug() + ")");
    SleepFor(std::chrono::milliseconds(pauseMs));
}

}  // namespace detail

IoResult<std::u16string> OsPathText(const Path& path) {
    if (path.Units().find(u'\0') != std::u16string::npos) {
        return IoError::WithMessage(IoErrorKind::InvalidInput, "nul byte found in provided data");
    }
    return path.Units();
}

}  // namespace upkit
