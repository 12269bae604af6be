// The engine window's black start, end to end: the fixture engine creates, shows and retitles
// windows inside ZeltOy2.exe and records what it sees. Its window classes paint white, so black
// can only come from the launcher.
#include <gtest/gtest.h>

#include "black_start.h"
#include "game_run.h"

namespace zelt::test {
namespace {

constexpr const char* kBlack = "000000";
constexpr const char* kWhite = "ffffff";

// Runs the game with a window script for the fixture engine and returns the engine's record.
Record RunWindows(const std::wstring& script) {
    GameFolder game;
    EXPECT_EQ(RunProcess(game.Invocation(L"", {{L"ZELT_FIXTURE_WINDOWS", script}})), 0u);
    Record report = Record::Load(game.report());
    EXPECT_FALSE(report.Has("badStep")) << report.Get("badStep");
    return report;
}

TEST(BlackStart, EveryTitleTheEngineSetsBecomesTheProductTitle) {
    const Record r = RunWindows(
        L"create,main,UnityWndClass,top,320,240,Motor Başlığı;"
        L"title,main,Unity 2022 Oyunu;title,main,;show,main;report,main,shown");
    ASSERT_EQ(r.Get("main.created"), "1");
    // What reached the engine's own window procedure, for each of its title changes.
    EXPECT_EQ(r.All("main.settext"), (std::vector<std::string>{"ZeltOy2", "ZeltOy2"}));
    EXPECT_EQ(r.Get("shown.title"), "ZeltOy2");
    if (!RunningOnWine()) {
        // Wine hands the hook a copy of the creation record, so the title given at creation
        // stays until the engine sets one.
        EXPECT_EQ(r.Get("main.createdTitle"), "ZeltOy2");
    }
}

// The title given at creation becomes the product's. Wine hands a real hook only a copy of the
// creation record, so what the hook writes there is lost under Wine; the hook procedure is handed
// a record of the test's own here, for real windows, so the check runs wherever the tests do.
TEST(BlackStart, TheHookRetitlesTheEngineWindowAtItsCreation) {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    for (const wchar_t* name : {L"UnityWndClass", L"ZeltFixtureOtherClass"}) {
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = DefWindowProcW;
        windowClass.hInstance = instance;
        windowClass.lpszClassName = name;
        RegisterClassW(&windowClass);
    }
    struct Case {
        const wchar_t* windowClass;
        DWORD style;  // as the creation record gives it
        bool handled;
    };
    const Case cases[] = {
        {L"UnityWndClass", WS_OVERLAPPEDWINDOW, true},
        {L"UnityWndClass", WS_CHILD | WS_VISIBLE, false},
        {L"ZeltFixtureOtherClass", WS_OVERLAPPEDWINDOW, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.windowClass) + (c.style & WS_CHILD ? " child" : " top-level"));
        const HWND window = CreateWindowExW(0, c.windowClass, L"Motor Başlığı", WS_OVERLAPPEDWINDOW,
                                            0, 0, 320, 240, nullptr, nullptr, instance, nullptr);
        ASSERT_NE(window, nullptr);
        CREATESTRUCTW creation = {};
        creation.hInstance = instance;
        creation.lpszClass = c.windowClass;
        creation.lpszName = L"Motor Başlığı";
        creation.style = static_cast<LONG>(c.style);
        CBT_CREATEWNDW record = {&creation, HWND_TOP};
        CbtHookProc(HCBT_CREATEWND, reinterpret_cast<WPARAM>(window),
                    reinterpret_cast<LPARAM>(&record));
        EXPECT_EQ(std::wstring(creation.lpszName), c.handled ? L"ZeltOy2" : L"Motor Başlığı");
        const bool subclassed =
            GetWindowLongPtrW(window, GWLP_WNDPROC) == reinterpret_cast<LONG_PTR>(UnityWindowProc);
        EXPECT_EQ(subclassed, c.handled);
        DestroyWindow(window);
    }
}

TEST(BlackStart, EngineWindowIsBlackAfterItsFirstShowOtherClassesStayWhite) {
    struct ClassCase {
        const wchar_t* windowClass;
        bool handled;
    };
    for (const ClassCase c :
         {ClassCase{L"UnityWndClass", true}, ClassCase{L"ZeltFixtureOtherClass", false}}) {
        SCOPED_TRACE(Narrow(c.windowClass));
        const Record r = RunWindows(std::wstring(L"create,main,") + c.windowClass +
                                    L",top,320,240,Motor;white,main;show,main;"
                                    L"title,main,Yeni;report,main,shown");
        EXPECT_EQ(r.Get("shown.pixel"), c.handled ? kBlack : kWhite);
        EXPECT_EQ(r.Get("shown.painted"), c.handled ? "1" : "absent");
        EXPECT_EQ(r.Get("shown.original"), c.handled ? "present" : "absent");
        EXPECT_EQ(r.Get("shown.subclassed"), c.handled ? "1" : "0");
        EXPECT_EQ(r.Get("shown.title"), c.handled ? "ZeltOy2" : "Yeni");
        // Background erases never reach the engine's procedure while the window is handled.
        EXPECT_EQ(r.Get("shown.erases") == "0", c.handled);
    }
}

TEST(BlackStart, InitialFillHappensOnceButErasesStayBlack) {
    const Record r = RunWindows(
        L"create,main,UnityWndClass,top,320,240,Motor;show,main;report,main,first;"
        // The engine draws its first frame (white here); later shows must not paint over it.
        L"white,main;report,main,drawn;"
        L"sendshow,main;report,main,reshown;"
        L"sendposchanged,main;report,main,repositioned;"
        L"senderase,main;report,main,erased;"
        L"hide,main;show,main;report,main,shownagain");
    EXPECT_EQ(r.Get("first.pixel"), kBlack);
    EXPECT_EQ(r.Get("first.painted"), "1");
    EXPECT_EQ(r.Get("drawn.pixel"), kWhite);
    EXPECT_EQ(r.Get("reshown.pixel"), kWhite);
    EXPECT_EQ(r.Get("repositioned.pixel"), kWhite);
    EXPECT_EQ(r.Get("main.eraseResult"), "1");
    EXPECT_EQ(r.Get("erased.pixel"), kBlack);
    EXPECT_EQ(r.Get("shownagain.pixel"), kBlack);
    EXPECT_EQ(r.Get("shownagain.painted"), "1");
    EXPECT_EQ(r.Get("shownagain.erases"), "0");
}

// At WM_SHOWWINDOW the window is not visible yet: on Windows a fill there draws nowhere, so it
// must not count as the first fill, or the fill at the show's position change (the first on a
// visible window) would be skipped. The engine's own procedure, which runs after the subclass,
// records the mark as the subclass left it at each of the two messages. (The client area's colour
// cannot tell: background erases are black anyway.)
TEST(BlackStart, OnlyAFillOnAVisibleWindowCountsAsTheFirst) {
    const Record r = RunWindows(L"create,main,UnityWndClass,top,320,240,Motor;show,main");
    EXPECT_EQ(r.All("main.showwindow.visible"), std::vector<std::string>{"0"});
    EXPECT_EQ(r.All("main.showwindow.painted"), std::vector<std::string>{"absent"});
    EXPECT_EQ(r.All("main.poschanged.visible"), std::vector<std::string>{"1"});
    EXPECT_EQ(r.All("main.poschanged.painted"), std::vector<std::string>{"1"});
}

TEST(BlackStart, WindowFirstShownEmptyIsPaintedAtItsNextShow) {
    const Record r = RunWindows(
        L"create,z,UnityWndClass,popup,0,0,Motor;show,z;report,z,empty;"
        // Resized while visible: erased black, but the initial fill has not happened yet.
        L"resize,z,200,150;white,z;report,z,grown;"
        L"sendshow,z;report,z,shown;"
        L"white,z;sendshow,z;report,z,shownagain");
    EXPECT_EQ(r.Get("empty.pixel"), "empty");
    EXPECT_EQ(r.Get("empty.painted"), "absent");
    EXPECT_EQ(r.Get("grown.pixel"), kWhite);
    EXPECT_EQ(r.Get("grown.painted"), "absent");
    EXPECT_EQ(r.Get("shown.pixel"), kBlack);
    EXPECT_EQ(r.Get("shown.painted"), "1");
    EXPECT_EQ(r.Get("shownagain.pixel"), kWhite);
}

TEST(BlackStart, WindowFirstShownEmptyThenHiddenAndResizedIsPaintedWhenShownAgain) {
    const Record r = RunWindows(
        L"create,z,UnityWndClass,popup,0,0,Motor;show,z;hide,z;resize,z,200,150;"
        L"show,z;report,z,shown");
    EXPECT_EQ(r.Get("shown.pixel"), kBlack);
    EXPECT_EQ(r.Get("shown.painted"), "1");
}

TEST(BlackStart, ChildWindowsAndOtherThreadsAreLeftAlone) {
    const Record r = RunWindows(
        L"create,main,UnityWndClass,top,320,240,Motor;"
        L"create,kid,UnityWndClass,child:main,100,80,Çocuk;title,kid,Çocuk 2;report,kid,kid;"
        L"otherthread,thread");
    EXPECT_EQ(r.Get("kid.createdTitle"), "Çocuk");
    EXPECT_EQ(r.All("kid.settext"), std::vector<std::string>{"Çocuk 2"});
    EXPECT_EQ(r.Get("kid.title"), "Çocuk 2");
    EXPECT_EQ(r.Get("kid.subclassed"), "0");
    EXPECT_EQ(r.Get("kid.original"), "absent");

    EXPECT_EQ(r.Get("thread.title"), "Başka");
    EXPECT_EQ(r.Get("thread.subclassed"), "0");
    EXPECT_EQ(r.Get("thread.original"), "absent");
}

TEST(BlackStart, DestroyedWindowLosesItsPropertiesAndANewOneIsHandledAfresh) {
    const Record r = RunWindows(
        L"create,main,UnityWndClass,top,320,240,Motor;show,main;report,main,before;destroy,main;"
        L"create,main,UnityWndClass,top,320,240,Motor;white,main;show,main;"
        L"title,main,İkinci;report,main,again");
    ASSERT_EQ(r.Get("before.painted"), "1");
    // Seen by the engine's own procedure, which gets WM_NCDESTROY last.
    EXPECT_EQ(r.All("main.ncdestroy.original"), std::vector<std::string>{"absent"});
    EXPECT_EQ(r.All("main.ncdestroy.painted"), std::vector<std::string>{"absent"});
    EXPECT_EQ(r.Get("again.subclassed"), "1");
    EXPECT_EQ(r.Get("again.pixel"), kBlack);
    EXPECT_EQ(r.Get("again.painted"), "1");
    EXPECT_EQ(r.Get("again.title"), "ZeltOy2");
}

// A host that installs the hook around the engine's entry point itself, then calls it again
// after removing the hook.
TEST(BlackStart, WindowsCreatedAfterTheHookIsRemovedAreUntouched) {
    TempDir dir(L"host");
    const std::wstring report = dir / L"report.txt";
    ProcessSpec invocation;
    invocation.application = BinPath(L"black_start_host.exe");
    invocation.commandLine = QuoteArgument(invocation.application);
    invocation.workingDir = dir.path();
    invocation.env = {{L"ZELT_FIXTURE_REPORT", report},
                      {L"ZELT_HOST_HOOKED_WINDOWS",
                       L"create,a,UnityWndClass,top,320,240,Motor;white,a;show,a;title,a,Bir;"
                       L"report,a,hooked"},
                      {L"ZELT_HOST_UNHOOKED_WINDOWS",
                       L"create,b,UnityWndClass,top,320,240,Motor;white,b;show,b;title,b,İki;"
                       L"report,b,unhooked"}};
    ASSERT_EQ(RunProcess(invocation), 0u);
    const Record r = Record::Load(report);
    EXPECT_EQ(r.Get("hooked.subclassed"), "1");
    EXPECT_EQ(r.Get("hooked.pixel"), kBlack);
    EXPECT_EQ(r.Get("hooked.title"), "ZeltOy2");
    EXPECT_EQ(r.Get("unhooked.subclassed"), "0");
    EXPECT_EQ(r.Get("unhooked.pixel"), kWhite);
    EXPECT_EQ(r.Get("unhooked.painted"), "absent");
    EXPECT_EQ(r.Get("unhooked.title"), "İki");
}

// What the player sees: the screen itself, read back once the compositor has presented, shows the
// engine window black between its showing and the engine's first draw (the fixture's window
// class would paint it white). Reading the screen is first shown to work on a white window of the
// fixture's own: a locked session, a remote desktop or a system without a desktop gives black
// copies of everything, and the check is skipped there.
TEST(BlackStart, TheScreenShowsTheEngineWindowBlackBeforeItsFirstDraw) {
    const Record r = RunWindows(
        L"create,own,ZeltFixtureOtherClass,popup,240,180,Kendi;topmost,own;show,own;white,own;"
        L"capture,own,own;destroy,own;"
        L"create,main,UnityWndClass,top,320,240,Oyun;topmost,main;show,main;capture,main,start");
    if (r.Get("own.capture") != "white") {
        GTEST_SKIP() << "no desktop to capture: a white window of the fixture's own read back as "
                     << r.Get("own.capture");
    }
    EXPECT_EQ(r.Get("start.capture"), "black");
}

}  // namespace
}  // namespace zelt::test
