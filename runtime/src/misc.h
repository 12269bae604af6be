// File-system operations the locator and the package reader rest on: retrying a failing file
// operation, probing a directory for writability, and the folders the runtime needs.
#pragma once

#include <chrono>
#include <utility>

#include "errors.h"
#include "misc_path.h"
#include "os/os.h"

namespace upkit {

// The pauses of every retried file operation in one start share this budget, so that however
// many files of an installation cannot be read, the start waits for them about two seconds in all,
// not two seconds each.
inline constexpr int kRetryBudgetMs = 1999;

namespace detail {
struct RetryBudget {
    int leftMs = kRetryBudgetMs;
    bool announced = false;  // the line saying it is spent has been written
};

// After failed attempt 1 to 3: when the thread's budget (if it has one) holds the whole pause for
// that attempt, writes the attempt's warning, pauses and answers true. Otherwise answers false at
// once: the operation is not tried again, and the first refusal the log admits says so.
bool RetryPause(int failedAttempt, const IoError& error);
}  // namespace detail

// Runs a file operation (a callable returning IoResult<T>) up to four times, pausing 333, 666 and
// 1000 ms after the first three failures, each announced by a Warn line; returns the first
// success or the fourth result unchanged. Within a RetryBudgetScope a pause is taken only if it
// fits whole in what is left of the budget; otherwise the failed attempt's result is returned.
template <class Operation>
auto RetryFileOperation(Operation&& operation) -> decltype(operation()) {
    for (int attempt = 1; attempt < 4; ++attempt) {
        auto result = operation();
        if (result.ok() || !detail::RetryPause(attempt, result.error())) return result;
    }
    return operation();
}

// Gives the calling thread a fresh retry budget of kRetryBudgetMs for as long as the object lives
// (one start); the thread's previous budget, or none, comes back afterwards. Outside any scope the
// whole schedule runs for every operation.
class RetryBudgetScope {
public:
    RetryBudgetScope();
    ~RetryBudgetScope();
    RetryBudgetScope(const RetryBudgetScope&) = delete;
    RetryBudgetScope& operator=(const RetryBudgetScope&) = delete;

private:
    detail::RetryBudget budget_;
    detail::RetryBudget* previous_;
};

// Whether a new file can be created directly in the directory (probe ".upkit_dir_test", removed
// again at once). Every failure answers false after a Warn line; the directory is never created.
bool CanWriteToDirectory(FileSystem& fs, const Path& dir);

// Creates the directory and every missing parent, one level at a time; an existing directory is
// success.
IoResult<Unit> CreateDirAll(FileSystem& fs, const Path& dir);

// Whether the running system's file system has the entry; any failure answers false.
bool PathExists(const Path& path);

// The path's text for a system call: the I/O error "nul byte found in provided data" when it holds
// a NUL, since the system would see only the part before it.
IoResult<std::u16string> SystemPathText(const Path& path);

}  // namespace upkit
