// The test kit's self-check program: `run-tests.exe --self-check` runs these tests, each of which
// ends in one of the ways the runner must tell apart and report. Only PassesOnPurpose passes;
// that is the point. Not registered with CTest.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>

namespace {

// Set in the environment of HangsOnPurpose's child: the same program, which then only sleeps.
constexpr const wchar_t* kSleeperVariable = L"ZELT_KIT_SELFCHECK_SLEEPER";
// When set, HangsOnPurpose writes its child's process id into the file it names, so that a check
// from outside can see that the runner ended the child along with the test.
constexpr const wchar_t* kChildIdFileVariable = L"ZELT_KIT_SELFCHECK_CHILD_ID_FILE";

std::wstring Environment(const wchar_t* name) {
    wchar_t value[MAX_PATH] = {};
    const DWORD n = GetEnvironmentVariableW(name, value, MAX_PATH);
    return n > 0 && n < MAX_PATH ? std::wstring(value, n) : std::wstring();
}

void WriteChildId(DWORD id) {
    const std::wstring path = Environment(kChildIdFileVariable);
    if (path.empty()) return;
    FILE* file = _wfopen(path.c_str(), L"wb");
    if (file == nullptr) return;
    std::fprintf(file, "%lu", static_cast<unsigned long>(id));
    std::fclose(file);
}

TEST(KitSelfCheck, PassesOnPurpose) {
    EXPECT_EQ(std::string("self") + "-check", "self-check");
}

TEST(KitSelfCheck, FailsOnPurpose) {
    // Output the report must carry as it is, and the JUnit file without the control character.
    std::printf("output of the failing test: a control character \x01, Turkish letters çğıöşü İ\n");
    EXPECT_EQ(1 + 1, 3) << "failed on purpose: the runner must report this message";
    ADD_FAILURE() << "failed on purpose a second time, with Turkish letters: çğıöşü İ";
}

TEST(KitSelfCheck, SkipsOnPurpose) {
    GTEST_SKIP() << "skipped on purpose: the runner must report this reason";
}

// Starts a child of this program that sleeps forever, then sleeps forever itself: the runner must
// end the whole process tree, not only the test's own process.
TEST(KitSelfCheck, HangsOnPurpose) {
    if (!Environment(kSleeperVariable).empty()) Sleep(INFINITE);
    wchar_t self[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
    std::wstring commandLine =
        L"\"" + std::wstring(self) + L"\" --gtest_filter=KitSelfCheck.HangsOnPurpose";
    ASSERT_TRUE(SetEnvironmentVariableW(kSleeperVariable, L"1"));
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    ASSERT_TRUE(CreateProcessW(self, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &child))
        << "CreateProcessW failed with error " << GetLastError();
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    WriteChildId(child.dwProcessId);
    std::printf("hanging on purpose: child process %lu sleeps forever, and so does this one\n",
                static_cast<unsigned long>(child.dwProcessId));
    std::fflush(stdout);
    Sleep(INFINITE);
}

// An access violation on a thread of its own, where no test framework catches it: the program
// dies at once, without writing its XML report.
TEST(KitSelfCheck, CrashesOnPurpose) {
    std::printf("crashing on purpose: writing through a null pointer\n");
    std::fflush(stdout);
    std::thread([] {
        volatile int* volatile nowhere = nullptr;
        *nowhere = 1;
    }).join();
    ADD_FAILURE() << "still running after the access violation";
}

}  // namespace
