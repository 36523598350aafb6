// Program commands carried out by the running program for another process.
//
// Users keep the desktop program (or `watch`) running all day, and it holds the device. A
// program command started on the command line meanwhile (backup-all, export-all, restore,
// backup|export --select or --list, settings, check, compact) is sent over the device's channel
// (platform/channel.h) to the program that holds the device. There it runs on the main
// window's thread, between the window's other messages like a menu command, and without any
// box: its result lines, exit status and, for a fatal failure, the failure's caption and words
// come back, and the command line prints them as if it had run the command itself. A second
// desktop program uses the same channel to ask the first one to show its window.
//
// Requests and replies are JSON objects, one per frame:
//   request   {"verb": "show" | "command" | "settings" | "check" | "compact" | "select" | "restore",
//              "command": N, "outputDir": "...", "autostart": bool, "json": bool, "repair": bool,
//              "mode": "Backup" | "Export" (select), "normal" | "extra" | "select" (restore),
//              "paths": [...], "list": bool, "dry_run": bool}
//   replies   {"started": true} when the request starts to run on the window's thread, then
//             {"progress": [done, total]} now and then while a pass works, then the RemoteResult
//             below.
//   client    {"stop": true} after the request asks the running pass to stop at the next message
//             boundary (Ctrl-C where the command was started); a client that goes away does too.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "remote/options.h"
#include "platform/window.h"

namespace remote {

// The request verbs, spelled as they travel.
namespace verb {
inline constexpr std::string_view kShow = "show";          // show the program's window
inline constexpr std::string_view kCommand = "command";    // a menu command by its number
inline constexpr std::string_view kSettings = "settings";  // print or change the output directory
inline constexpr std::string_view kCheck = "check";        // check (and repair) the archive
inline constexpr std::string_view kCompact = "compact";    // compact Messages.dat
inline constexpr std::string_view kSelect = "select";      // back up or export a selection
inline constexpr std::string_view kRestore = "restore";    // a restore's plan, or a restore by selection
}  // namespace verb

struct RemoteRequest {
    std::string verb;                      // one of `verb`
    std::uint32_t command = 0;             // "command": 40053, 40055, 40056 or 40071
    std::optional<std::string> outputDir;  // "settings": the new output directory, if any
    std::optional<bool> autostart;         // "settings": start at login or not, if asked
    bool repair = false;                   // "check": repair first
    bool json = false;                     // the result as one JSON object (--json)
    std::string mode;                      // "select": "Backup" or "Export"
    std::vector<std::string> paths;        // "select": the PATHs to tick
    bool list = false;                     // "select": print the tree instead (--list)
    bool dryRun = false;                   // "restore": say what would be re-created (--dry-run)
};

// What a program command gives whoever started it. Everything a forwarded command reports
// travels in this one record.
struct RemoteResult {
    bool carriedOut = false;     // false: the program ended (or was ending) before it ran it
    int status = 0;              // the exit status the command line reports
    std::string output;          // the lines for standard output
    std::string errors;          // the lines for standard error (a usage error, an interruption)
    std::string failureCaption;  // a fatal failure: the box's caption ...
    std::string failureWords;    // ... and words (status 1)
    bool windowShown = false;    // "show": the program has a window on the screen and showed it
    bool busy = false;           // not carried out: the window is showing a box or dialog
};

// What a program whose window is showing a box or dialog answers a command that would have to
// wait for it (status 3).
inline constexpr const char* kBusyLine = "Tallymere is busy: its window is showing a box or dialog.";

// Whether a request may run while the window shows a box or dialog: it shows the window, or
// only reads and prints (the output directory, the selection tree) without changing anything.
bool NeedsNoBox(const RemoteRequest& request);

std::string EncodeRequest(const RemoteRequest& request);
std::optional<RemoteRequest> DecodeRequest(const std::string& frame);
std::string EncodeResult(const RemoteResult& result);
std::optional<RemoteResult> DecodeResult(const std::string& frame);

// ---- The program that holds the device ----

// The message a request arrives as on the main window (posted, so that it runs between the
// window's other messages and never inside a wait for the store's notifications). The window
// procedure hands it to RunRemoteRequest. Its wParam is 1 for a request that needs no box
// (NeedsNoBox), which may run while a box or dialog is open; any other is answered busy at once
// while one is open (and when one opens before it has started).
inline constexpr std::uint32_t WM_REMOTE_REQUEST = 0x8000 + 0x101;

// Starts answering requests on the device's channel, which the caller opened when it took the
// device (platform::device::OpenChannel). `hasScreenWindow`: the main window can be shown.
void ServeRemoteRequests(bool hasScreenWindow);
// Stops answering (before shutdown): requests not yet started are turned away.
void StopRemoteRequests();
// Carries out the request a WM_REMOTE_REQUEST names, on the window's thread.
void RunRemoteRequest(platform::ui::HWND window, platform::ui::LPARAM lParam);

// ---- The process that wants the device (device_lock.cpp) ----

// Takes the device for a program command, or has the program holding it carry the command out.
// Returns -1 when this process now holds the device (the caller runs the command itself).
// Otherwise returns the exit status to end with: the forwarded command's, with its output
// printed; 4 after "Restore cancelled." when `confirm` (asked once, before a forwarded command
// is sent) said no; or 3 after printing that the device is in use by a program that does not
// take the request (a one-shot command, or a request with an empty verb: start, watch). With
// --wait (`options.wait`) it waits for the device instead, as long as `options.waitSeconds`
// says (0: as long as it takes). `confirmed` tells the caller that the user already confirmed
// (so that a command that ends up running here does not ask again). `name` names the command
// in a --json object.
int LockOrForward(const GlobalOptions& options, const std::string& name, const RemoteRequest& request,
                  const std::function<bool()>& confirm = {}, bool* confirmed = nullptr);

// Mounts the device folder chosen by the options; prints why not and returns false when it
// cannot be used. A folder made for the device now is announced on standard error.
bool MountDevice(const GlobalOptions& options, DeviceUse use = DeviceUse::kWrite);

// Takes the program's lock on the mounted device for a command no other program carries out
// (start, watch); with --wait it waits for it. -1 when taken; otherwise the exit status 3,
// after "Tallymere is already running on this device (process N)." on standard error.
int LockDevice(const GlobalOptions& options);

// Prints "Tallymere is already running on this device (process N: PROGRAM). Use --wait to wait
// for it." on standard error (and,
// with --json, its object on standard output); returns the exit status 3.
int PrintAlreadyRunning(const GlobalOptions& options, const std::string& name, long holderPid);

// Prints "Restore cancelled." on standard error (and, with --json, its object on standard
// output); returns the exit status 4.
int PrintCancelled(const GlobalOptions& options, const std::string& name);

// Prints the busy line (kBusyLine) on standard error (and, with --json, its object on standard
// output); returns the exit status 3.
int PrintBusy(const GlobalOptions& options, const std::string& name);
// Prints that a wait for the program ended on a signal (and, with --json, its object); returns
// the exit status 130.
int PrintWaitInterrupted(const GlobalOptions& options, const std::string& name);

// Asks the program holding the device to show its window. Nothing when no program answers.
std::optional<RemoteResult> AskToShow();

// Prints a forwarded command's result as the command line prints its own: output on standard
// output, errors and a failure as "caption: words" on standard error (with --json, also the
// failure's object on standard output); returns the exit status.
int PrintResult(const RemoteResult& result, bool json = false, const std::string& name = {});

}  // namespace remote
