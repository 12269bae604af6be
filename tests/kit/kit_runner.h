// The run itself: finding the kit's programs, listing and running their tests, the benchmarks,
// the clean-up and the report.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "kit_cleanup.h"
#include "kit_core.h"
#include "kit_win.h"

namespace zelt::kit {

struct Options {
    unsigned timeoutSeconds = 300;
    std::wstring report;  // empty: report.txt beside the runner
    std::wstring junit;   // empty: none
    std::string filter = "*";
    bool allowSystemChanges = false;
    bool noWineSkips = false;
    bool selfCheck = false;
    bool bench = false;
    bool noPause = false;
    bool help = false;
    std::wstring bin;   // empty: bin beside the runner
    std::string given;  // the arguments as given, for the report
};

class Runner {
public:
    // stop: set when the user asks the run to stop; cleanedUp: set by the runner once the PC is
    // as it was.
    Runner(Console& console, const Options& options, HANDLE stop, HANDLE cleanedUp);
    // The exit code: 0 when nothing failed, 1 when something failed or hung, 2 when the kit
    // cannot run.
    int Run();

private:
    struct Planned {
        std::wstring program;  // full path
        TestId test;
    };

    std::vector<std::string> MissingPrograms(const std::wstring& folder);
    bool LocateKit();
    void ChooseReportPath();
    bool MakePrivateFolder();
    bool SaveUserState();
    std::vector<Planned> ListTests();
    bool ListProgram(const std::wstring& program, std::vector<Planned>& plan);
    ChildEnd RunOnce(Launch launch, const std::string& label, std::vector<std::string>& notes);
    void RunTest(const Planned& planned, size_t index, size_t total);
    void AddReport(TestReport report, size_t index, size_t total);
    void RunBenchmarks();
    void RunBenchmark(const std::string& name, size_t index);
    void CleanUp();
    std::string ReportText() const;
    std::string FailureDetails() const;
    bool WriteOutputs();
    void Say(const std::string& line) { console_.Write(line + "\n"); }

    Console& console_;
    const Options& options_;
    HANDLE stop_;
    HANDLE cleanedUp_;
    bool wine_ = RunningOnWine();

    std::wstring exeDir_;
    std::wstring binDir_;
    KitInfo info_;
    bool kitInfoFound_ = false;
    std::wstring reportPath_;
    std::string startedAt_;

    std::wstring privateDir_;  // under the user's temporary folder, removed at the end
    std::wstring tempDir_;     // the tests' TEMP and TMP
    std::wstring outDir_;      // XML reports and output files
    std::wstring environment_;

    std::wstring localAppData_;
    LogFolderKeeper logKeeper_;
    LocalAppDataWatch localWatch_;
    bool userStateSaved_ = false;

    std::vector<TestReport> reports_;
    std::vector<std::string> listingNotes_;  // second tries of listings that then succeeded
    bool stopped_ = false;
    size_t notRun_ = 0;
    std::string benchText_;
    std::vector<std::string> cleanupLines_;
};

}  // namespace zelt::kit
