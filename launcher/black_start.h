// Keeps the engine's main window black from its first appearance until the engine draws, and
// gives it the product title. Works from outside the engine: a thread-local window-creation hook
// on the main thread recognises the engine's top-level window while it is created and subclasses
// it.
#pragma once

#include <windows.h>

// The product title: the engine window's title and the caption of the launcher's messages.
extern const wchar_t kProductTitle[];

// The installed window-creation hook; null while none is installed. The hook procedure passes
// events on through it.
extern HHOOK g_cbtHook;

// WH_CBT hook procedure: retitles and subclasses each top-level "UnityWndClass" window being
// created, then passes the event on.
LRESULT CALLBACK CbtHookProc(int code, WPARAM wParam, LPARAM lParam);

// The engine window's subclass procedure: black background, forced title, clean-up on
// WM_NCDESTROY.
LRESULT CALLBACK UnityWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// Fills the client area black; the first fill that succeeds on a visible window with a non-empty
// client area marks the window, and a marked window is not filled again.
void PaintInitialBlack(HWND hwnd);

// The engine's entry point, UnityMain2.
using EngineEntry = int(WINAPI*)(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine,
                                 int showCommand);

// Runs the engine's entry point on this thread with the window-creation hook installed around
// it, and removes the hook once the engine returns; the engine's result. The engine creates its
// main window on this thread. A hook that cannot be installed only costs the black start.
int RunEngineWithBlackStart(EngineEntry entry, HINSTANCE instance, HINSTANCE previous,
                            LPWSTR commandLine, int showCommand);
