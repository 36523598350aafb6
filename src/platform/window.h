// Windows: the target of the program's commands.
//
// A window belongs to the thread that created it and runs every message it receives on that
// thread, inside that thread's message loop. `SendMessageW` from another thread queues the
// message and blocks until the window's thread has run it; from the window's own thread it
// runs the message directly. Once a window is destroyed, or its thread has left its message
// loop, sends to it return 0 at once, also sends that were waiting — so a sender never hangs
// on a window that nobody serves. Sends made before the loop first starts wait for it, or for
// a platform wait on the window's thread (see DispatchSentMessages).
//
// `Window` is the port: the command line uses the thread window made by `CreateWindowW`, and a
// desktop front end puts its own window behind the same interface (`AdoptWindow`).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/ui.h"

namespace platform::ui {

constexpr std::uint32_t WM_DESTROY = 0x0002;
constexpr std::uint32_t WM_CLOSE = 0x0010;
constexpr std::uint32_t WM_COMMAND = 0x0111;
constexpr std::uint32_t WM_TIMER = 0x0113;

// ShowWindow's commands.
constexpr int SW_HIDE = 0;
constexpr int SW_SHOW = 5;

using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

// The window procedure: every message the window receives, on the window's thread.
using WindowProc = std::function<LRESULT(HWND, std::uint32_t message, WPARAM, LPARAM)>;

class Window {
public:
    virtual ~Window() = default;
    // Runs the message on the window's thread and returns the procedure's result (0 when the
    // window is destroyed).
    virtual LRESULT Send(std::uint32_t message, WPARAM wParam, LPARAM lParam) = 0;
    // Queues the message and returns at once; false when the window is destroyed.
    virtual bool Post(std::uint32_t message, WPARAM wParam, LPARAM lParam) = 0;
    // Destroys the window: WM_DESTROY runs, waiting and later sends return 0. Only the window's
    // own thread can destroy it (the call does nothing elsewhere); other threads post WM_CLOSE.
    virtual void Destroy() = 0;
    virtual bool IsDestroyed() const = 0;
    // Runs the message loop on the window's thread until the window is destroyed; returns the
    // exit code given to `PostQuitMessage` (0 by default).
    virtual int RunMessageLoop() = 0;
    // Ends the loop of the window's thread with `exitCode` (called from the procedure).
    virtual void Quit(int exitCode) = 0;
    // Shows (SW_SHOW, also bringing it to the front) or hides (SW_HIDE) the window on the
    // screen; a window nobody sees (the command line's) ignores it.
    virtual void Show(int command) { (void)command; }
    // Runs the messages other threads have sent to this window and that wait for it, when
    // called on the window's thread; returns whether any ran (see DispatchSentMessages).
    virtual bool DispatchSent() { return false; }
    // Arms timer `id` (replacing one armed with the same id): every `elapseMs` from now the
    // window receives WM_TIMER with wParam `id`, as a queued message of the lowest rank, at most
    // one waiting per timer, until KillTimer. Called on the window's thread.
    virtual bool SetTimer(std::uintptr_t id, std::uint32_t elapseMs) = 0;
    // Disarms timer `id`, and drops its WM_TIMER if one waits; false when it was not armed.
    virtual bool KillTimer(std::uintptr_t id) = 0;
};

// Creates a window owned by the calling thread. A WM_CLOSE that the procedure does not
// handle (returns 0 for) destroys the window, which ends the loop. The window lives until
// the process ends, so a handle never dangles.
HWND CreateWindowW(WindowProc proc);

// Takes a window of a front end's own making into the process's windows: it lives until the
// process ends, as every window does, and DispatchSentMessages runs what waits for it.
HWND AdoptWindow(std::unique_ptr<Window> window);

LRESULT SendMessageW(HWND window, std::uint32_t message, WPARAM wParam, LPARAM lParam);
bool PostMessageW(HWND window, std::uint32_t message, WPARAM wParam, LPARAM lParam);
bool DestroyWindow(HWND window);
// The window's timers (Window::SetTimer, Window::KillTimer); false for a null window.
bool SetTimer(HWND window, std::uintptr_t id, std::uint32_t elapseMs);
bool KillTimer(HWND window, std::uintptr_t id);

// Shows or hides the window (SW_SHOW, SW_HIDE); false for a null window.
bool ShowWindow(HWND window, int command);

// Runs, on the calling thread, the messages other threads have sent to windows of this thread
// and that are waiting for it; posted messages stay queued for the loop. Platform calls that
// wait for another thread call it while they wait: that thread may itself be waiting in a send
// to this one, and the two would otherwise wait for each other. Returns whether any ran.
bool DispatchSentMessages();

}  // namespace platform::ui
