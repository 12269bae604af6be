// The retry budget one start shares among all its failing file operations: the schedule's pauses
// are taken while they fit whole in what is left, the first refusal says so once, and a refused
// operation returns the error of the attempt it just made.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log_capture.h"
#include "misc.h"

namespace upkit {
namespace {

using testing::CapturedLog;
using testing::LogLine;

// An operation that fails its first `failures` attempts with distinct errors (then succeeds),
// counting its attempts.
struct Flaky {
    int failures;
    int attempts = 0;
    int32_t firstCode;
    IoResult<int> operator()() {
        const int32_t code = firstCode + attempts++;
        if (attempts <= failures) return IoError::FromOsCode(code);
        return 7;
    }
};

LogLine Retrying(int pauseMs, int32_t code) {
    return {Level::Warn, "upkit::misc",
            "Retrying operation in " + std::to_string(pauseMs) +
                "ms... (error was: " + IoError::FromOsCode(code).Debug() + ")"};
}

LogLine Spent(int32_t code) {
    return {Level::Warn, "upkit::misc",
            "Retry budget of 1999ms for this start is spent; failing file operations are no "
            "longer retried (error was: " +
                IoError::FromOsCode(code).Debug() + ")"};
}

TEST(RetryBudget, OneStartSharesItsPausesAmongAllOperations) {
    CapturedLog log;
    RetryBudgetScope start;
    // The first failing operation gets the whole schedule: 333 + 666 + 1000 ms.
    Flaky first{4, 0, 100};
    EXPECT_FALSE(RetryFileOperation(first).ok());
    EXPECT_EQ(first.attempts, 4);
    // Nothing is left: the next ones fail at their first attempt, with that attempt's error.
    Flaky second{4, 0, 200};
    IoResult<int> result = RetryFileOperation(second);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().OsCode(), 200);
    EXPECT_EQ(second.attempts, 1);
    Flaky third{4, 0, 300};
    EXPECT_FALSE(RetryFileOperation(third).ok());
    EXPECT_EQ(third.attempts, 1);
    // An operation that succeeds at once needs no pause and still works.
    Flaky healthy{0, 0, 400};
    EXPECT_TRUE(RetryFileOperation(healthy).ok());

    const std::vector<LogLine> expected = {Retrying(333, 100), Retrying(666, 101),
                                           Retrying(1000, 102), Spent(200)};
    EXPECT_EQ(log.Lines(), expected);
}

TEST(RetryBudget, APauseIsTakenOnlyWhenItFitsWhole) {
    CapturedLog log;
    RetryBudgetScope start;
    // A file locked for a moment: one pause of 333 ms, then it reads.
    Flaky briefly{1, 0, 100};
    EXPECT_TRUE(RetryFileOperation(briefly).ok());
    // 1666 ms are left: 333 and 666 fit, 1000 does not.
    Flaky broken{4, 0, 200};
    IoResult<int> result = RetryFileOperation(broken);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().OsCode(), 202);
    EXPECT_EQ(broken.attempts, 3);

    const std::vector<LogLine> expected = {Retrying(333, 100), Retrying(333, 200),
                                           Retrying(666, 201), Spent(202)};
    EXPECT_EQ(log.Lines(), expected);
}

TEST(RetryBudget, EachStartHasItsOwnAndOutsideAStartThereIsNone) {
    CapturedLog log;
    {
        RetryBudgetScope start;
        Flaky spends{4, 0, 100};
        (void)RetryFileOperation(spends);
        {
            // A start inside a start gets a fresh budget and gives the outer one back after.
            RetryBudgetScope inner;
            Flaky fresh{1, 0, 200};
            EXPECT_TRUE(RetryFileOperation(fresh).ok());
            EXPECT_EQ(fresh.attempts, 2);
        }
        Flaky refused{1, 0, 300};
        EXPECT_FALSE(RetryFileOperation(refused).ok());
        EXPECT_EQ(refused.attempts, 1);
    }
    Flaky unbounded{1, 0, 400};
    EXPECT_TRUE(RetryFileOperation(unbounded).ok());
    EXPECT_EQ(unbounded.attempts, 2);
    EXPECT_EQ(log.Lines(Level::Warn).size(), 6u);  // 3 + 1 + the budget line + 1
}

TEST(RetryBudget, TheSpentLineWaitsForALogThatAdmitsIt) {
    CapturedLog log;
    RetryBudgetScope start;
    // Refused while the log takes no warnings (the log set-up's silent location): nothing is
    // written, so the first refusal the log can take says it instead.
    SetMaxLevel(Level::Off);
    Flaky silent{4, 0, 100};
    (void)RetryFileOperation(silent);
    Flaky silentlyRefused{4, 0, 200};
    (void)RetryFileOperation(silentlyRefused);
    SetMaxLevel(Level::Trace);
    Flaky refused{4, 0, 300};
    (void)RetryFileOperation(refused);
    Flaky again{4, 0, 400};
    (void)RetryFileOperation(again);
    const std::vector<LogLine> expected = {Spent(300)};
    EXPECT_EQ(log.Lines(), expected);
}

}  // namespace
}  // namespace upkit
