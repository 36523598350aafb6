#include "remote/remote.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>

#include <nlohmann/json.hpp>

#include "remote/call.h"
#include "remote/work.h"
#include "remote/exit_status.h"
#include "remote/interrupt.h"
#include "remote/reports.h"
#include "platform/channel.h"
#include "platform/device.h"
#include "platform/no_destructor.h"
#include "platform/text.h"
#include "shell/commands.h"
#include "support/fatal.h"
#include "support/main_window.h"
#include "support/pass_control.h"

namespace remote {

namespace ui = platform::ui;
using Json = nlohmann::json;
using namespace std::chrono_literals;

// ---- Encoding ----

std::string EncodeRequest(const RemoteRequest& request) {
    Json j{{"verb", request.verb}, {"command", request.command}, {"json", request.json}};
    if (request.outputDir) j["outputDir"] = *request.outputDir;
    if (request.autostart) j["autostart"] = *request.autostart;
    if (request.repair) j["repair"] = true;
    if (request.verb == verb::kSelect) {
        j["mode"] = request.mode;
        j["paths"] = request.paths;
        j["list"] = request.list;
    }
    if (request.verb == verb::kRestore) {
        j["mode"] = request.mode;
        j["paths"] = request.paths;
        j["dry_run"] = request.dryRun;
    }
    return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::optional<RemoteRequest> DecodeRequest(const std::string& frame) {
    const Json j = Json::parse(frame, nullptr, false);
    if (!j.is_object() || !j.contains("verb") || !j["verb"].is_string()) return std::nullopt;
    RemoteRequest request;
    request.verb = j["verb"].get<std::string>();
    if (j.contains("command") && j["command"].is_number_unsigned()) request.command = j["command"].get<std::uint32_t>();
    if (j.contains("outputDir") && j["outputDir"].is_string()) request.outputDir = j["outputDir"].get<std::string>();
    if (j.contains("autostart") && j["autostart"].is_boolean()) request.autostart = j["autostart"].get<bool>();
    if (j.contains("repair") && j["repair"].is_boolean()) request.repair = j["repair"].get<bool>();
    if (j.contains("json") && j["json"].is_boolean()) request.json = j["json"].get<bool>();
    if (j.contains("mode") && j["mode"].is_string()) request.mode = j["mode"].get<std::string>();
    if (j.contains("list") && j["list"].is_boolean()) request.list = j["list"].get<bool>();
    if (j.contains("dry_run") && j["dry_run"].is_boolean()) request.dryRun = j["dry_run"].get<bool>();
    if (j.contains("paths") && j["paths"].is_array()) {
        for (const Json& path : j["paths"]) {
            if (path.is_string()) request.paths.push_back(path.get<std::string>());
        }
    }
    return request;
}

std::string EncodeResult(const RemoteResult& result) {
    return Json{{"carriedOut", result.carriedOut},
                {"status", result.status},
                {"output", result.output},
                {"errors", result.errors},
                {"failureCaption", result.failureCaption},
                {"failureWords", result.failureWords},
                {"windowShown", result.windowShown},
                {"busy", result.busy}}
        .dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::optional<RemoteResult> DecodeResult(const std::string& frame) {
    const Json j = Json::parse(frame, nullptr, false);
    if (!j.is_object() || !j.contains("carriedOut") || !j.contains("status")) return std::nullopt;
    RemoteResult result;
    try {
        result.carriedOut = j.at("carriedOut").get<bool>();
        result.status = j.at("status").get<int>();
        result.output = j.value("output", "");
        result.errors = j.value("errors", "");
        result.failureCaption = j.value("failureCaption", "");
        result.failureWords = j.value("failureWords", "");
        result.windowShown = j.value("windowShown", false);
        result.busy = j.value("busy", false);
    } catch (const Json::exception&) {
        return std::nullopt;
    }
    return result;
}

namespace {

const std::string kStarted = R"({"started":true})";
const std::string kStop = R"({"stop":true})";

std::string EncodeProgress(std::uint32_t done, std::uint32_t total) { return Json{{"progress", {done, total}}}.dump(); }

bool DecodeProgress(const std::string& frame, std::uint32_t* done, std::uint32_t* total) {
    const Json j = Json::parse(frame, nullptr, false);
    if (!j.is_object() || !j.contains("progress")) return false;
    const Json& p = j["progress"];
    if (!p.is_array() || p.size() != 2 || !p[0].is_number_unsigned() || !p[1].is_number_unsigned()) return false;
    *done = p[0].get<std::uint32_t>();
    *total = p[1].get<std::uint32_t>();
    return true;
}

// ---- The holder's side ----

// One request on its way from the channel's thread to the window's thread and back.
struct Job {
    RemoteRequest request;
    std::mutex mutex;
    std::condition_variable changed;
    bool started = false;
    bool done = false;
    bool replied = false;
    RemoteResult result;
    // The pass that runs for the job began after this many passes (see Execute); progress is
    // relayed only once it has.
    bool passBegun = false;
    bool stopAsked = false;  // its client asked the pass to stop
};

struct Server {
    std::mutex mutex;
    std::map<std::uint64_t, std::shared_ptr<Job>> waiting;  // posted, not yet taken by the window
    std::uint64_t nextId = 1;
    bool stopping = false;
    bool hasScreenWindow = false;
};

Server& TheServer() {
    static platform::NoDestructor<Server> server;
    return *server;
}

// Removes a job nobody has taken yet; false when the window's thread has already taken it.
bool Withdraw(std::uint64_t id) {
    Server& server = TheServer();
    std::lock_guard lock(server.mutex);
    return server.waiting.erase(id) == 1;
}

// The answer to a request that would wait for a box or dialog.
RemoteResult BusyResult() {
    RemoteResult result;
    result.carriedOut = true;
    result.busy = true;
    result.status = kExitDeviceBusy;
    result.errors = std::string(kBusyLine) + "\n";
    return result;
}

// "show" is answered from the channel's thread: the window comes up (above any box it shows)
// whatever its thread is doing, and the second program ends at once.
void AnswerShow(platform::device::ChannelReply& reply) {
    Server& server = TheServer();
    RemoteResult result;
    ui::HWND window = tallymere::mainWindow.load();
    {
        std::lock_guard lock(server.mutex);
        result.carriedOut = !server.stopping && window != nullptr;
        result.windowShown = result.carriedOut && server.hasScreenWindow;
    }
    if (result.windowShown) ui::ShowWindow(window, ui::SW_SHOW);
    reply.Send(EncodeResult(result));
}

// Queues the job and posts it to the main window `window`. Its number, or 0 when the program is
// ending or has no window (the client has been answered that nothing ran).
std::uint64_t Post(const std::shared_ptr<Job>& job, ui::HWND window, bool needsNoBox,
                   platform::device::ChannelReply& reply) {
    Server& server = TheServer();
    std::uint64_t id = 0;
    {
        std::lock_guard lock(server.mutex);
        if (server.stopping) {
            reply.Send(EncodeResult({}));
            return 0;
        }
        id = server.nextId++;
        server.waiting[id] = job;
    }
    if (!window || !ui::PostMessageW(window, WM_REMOTE_REQUEST, needsNoBox ? 1 : 0, static_cast<ui::LPARAM>(id))) {
        Withdraw(id);
        reply.Send(EncodeResult({}));
        return 0;
    }
    return id;
}

// Waits until the window's thread takes the job. False when it was withdrawn instead: the
// program is ending, a box opened before it started (the client is answered), or the client
// stopped or went away.
bool AwaitStart(Job& job, std::uint64_t id, ui::HWND window, bool needsNoBox, platform::device::ChannelReply& reply) {
    Server& server = TheServer();
    std::unique_lock lock(job.mutex);
    while (!job.started) {
        bool gone = window->IsDestroyed();
        {
            std::lock_guard serverLock(server.mutex);
            gone = gone || server.stopping;
        }
        // A box opened before the request could start: the window waits for the user, and so
        // would the request.
        const bool busy = !gone && !needsNoBox && ui::BoxesOpen() > 0;
        if (gone || busy) {
            lock.unlock();
            if (Withdraw(id)) {
                reply.Send(EncodeResult(busy ? BusyResult() : RemoteResult{}));
                return false;
            }
            lock.lock();  // taken meanwhile: it runs
            continue;
        }
        // A client that stops or goes away before the request started withdraws it.
        std::string said;
        if (reply.Listen(&said) != platform::device::ClientWord::kNothing) {
            lock.unlock();
            if (Withdraw(id)) return false;
            lock.lock();
            continue;
        }
        job.changed.wait_for(lock, 50ms);
    }
    return true;
}

// While the job runs: its progress goes to the client, and a client that asks to stop, or goes
// away, stops its pass at the next message boundary. The job's result once it is done.
RemoteResult RelayUntilDone(Job& job, platform::device::ChannelReply& reply) {
    std::unique_lock lock(job.mutex);
    bool stopAsked = false;
    std::uint32_t sentDone = 0;
    std::uint32_t sentTotal = 0;
    bool sentAny = false;
    while (!job.done) {
        job.changed.wait_for(lock, 50ms);  // progress and a stop travel at this pace
        if (job.done) break;
        std::string said;
        if (!stopAsked && reply.Listen(&said) != platform::device::ClientWord::kNothing) {
            stopAsked = true;
            job.stopAsked = true;
            tallymere::RequestStop();  // cleared when the job ends (RunRemoteRequest)
        }
        const std::uint32_t done = tallymere::PassDone();
        const std::uint32_t total = tallymere::PassTotal();
        if (job.passBegun && (!sentAny || done != sentDone || total != sentTotal)) {
            sentAny = true;
            sentDone = done;
            sentTotal = total;
            lock.unlock();
            reply.Send(EncodeProgress(done, total));
            lock.lock();
        }
    }
    return job.result;
}

// One request from the channel's thread: "show" is answered here; any other runs on the window's
// thread (RunRemoteRequest) while this relays its progress, and its result goes back.
void Answer(const std::string& frame, platform::device::ChannelReply& reply) {
    const std::optional<RemoteRequest> request = DecodeRequest(frame);
    if (!request) return;  // not a request (a client looking whether anyone serves)
    if (request->verb == verb::kShow) {
        AnswerShow(reply);
        return;
    }
    const bool needsNoBox = NeedsNoBox(*request);
    if (!needsNoBox && ui::BoxesOpen() > 0) {
        reply.Send(EncodeResult(BusyResult()));
        return;
    }
    auto job = std::make_shared<Job>();
    job->request = *request;
    ui::HWND window = tallymere::mainWindow.load();
    const std::uint64_t id = Post(job, window, needsNoBox, reply);
    if (id == 0 || !AwaitStart(*job, id, window, needsNoBox, reply)) return;
    reply.Send(kStarted);
    const RemoteResult result = RelayUntilDone(*job, reply);
    reply.Send(EncodeResult(result));
    std::lock_guard lock(job->mutex);
    job->replied = true;
    job->changed.notify_all();
}

// The box port while a forwarded command runs: reports become output lines, questions were
// answered where the command was started, and a fatal failure goes back to the client before
// the program shows it and ends.
class RemotePort final : public ui::Port {
public:
    RemotePort(Job& job, ui::Port* previous) : job_(job), previous_(previous) {}

    int MessageBox(ui::HWND, std::u16string_view text, std::u16string_view caption, std::uint32_t style) override {
        if ((style & 0xF) == ui::MB_OKCANCEL) return ui::IDOK;
        if ((style & ui::MB_ICONERROR) != 0) {
            // A refusal the program goes on after: printed where the command was started as its
            // own command line prints it, "caption: words" on standard error.
            errorCaption = platform::ToUtf8(caption);
            errorWords = platform::ToUtf8(text);
            return ui::IDOK;
        }
        output += platform::ToUtf8(text) + "\n";
        return ui::IDOK;
    }

    void FailureBox(ui::HWND owner, std::u16string_view text, std::u16string_view caption) override {
        {
            std::unique_lock lock(job_.mutex);
            job_.result.carriedOut = true;
            job_.result.status = kExitFailure;
            job_.result.output = output;
            job_.result.failureCaption = platform::ToUtf8(caption);
            job_.result.failureWords = platform::ToUtf8(text);
            job_.done = true;
            job_.changed.notify_all();
            // The process ends after the box: the client hears of it first (unless it is gone).
            job_.changed.wait_for(lock, 5s, [&] { return job_.replied; });
        }
        previous_->FailureBox(owner, text, caption);
    }

    std::string output;
    std::string errorCaption, errorWords;

private:
    Job& job_;
    ui::Port* previous_;
};

// Standard output's lines of a command that prints them (settings, check), kept in memory.
class CapturedOutput {
public:
    CapturedOutput() : file_(::open_memstream(&buffer_, &size_)) {}
    ~CapturedOutput() {
        if (file_) std::fclose(file_);
        std::free(buffer_);
    }
    CapturedOutput(const CapturedOutput&) = delete;
    CapturedOutput& operator=(const CapturedOutput&) = delete;
    std::FILE* file() const { return file_; }
    std::string Text() {
        if (!file_) return {};
        std::fflush(file_);
        return std::string(buffer_, size_);
    }

private:
    char* buffer_ = nullptr;
    std::size_t size_ = 0;
    std::FILE* file_;
};

bool IsForwardedCommand(std::uint32_t command) {
    return command == tallymere::kCommandBackupAll || command == tallymere::kCommandExportAll ||
           command == tallymere::kCommandRestoreNormal || command == tallymere::kCommandRestoreExtra;
}

RemoteResult Execute(ui::HWND window, Job& job) {
    const RemoteRequest& request = job.request;
    RemoteResult result;
    result.carriedOut = true;
    if (request.verb == verb::kShow) {
        bool shown = false;
        {
            Server& server = TheServer();
            std::lock_guard lock(server.mutex);
            shown = server.hasScreenWindow;
        }
        if (shown) ui::ShowWindow(window, ui::SW_SHOW);
        result.windowShown = shown;
        return result;
    }
    ui::Port* previous = ui::GetPort();
    RemotePort port(job, previous);
    ui::SetPort(&port);
    CapturedOutput printed;
    CapturedOutput errors;
    const bool passes = (request.verb == verb::kCommand && IsForwardedCommand(request.command)) ||
                        (request.verb == verb::kSelect && !request.list) ||
                        (request.verb == verb::kRestore && request.mode == "select" && !request.dryRun);
    // The client shows the progress: the walk counts its total first only for someone who
    // listens (the desktop program does already; watch listens for the client's sake).
    const bool quiet = passes && !tallymere::PassProgressShown();
    if (quiet) tallymere::SetPassProgress([](std::uint32_t, std::uint32_t) {});
    if (passes) {
        tallymere::BeginPass(0);  // no progress of an earlier pass goes to the client
        std::lock_guard lock(job.mutex);
        job.passBegun = true;
    }
    if (request.verb == verb::kCommand && IsForwardedCommand(request.command)) {
        tallymere::OnCommand(window, request.command);
    } else if (request.verb == verb::kSettings && printed.file()) {
        result.status = RunSettings(printed.file(), request.outputDir ? &*request.outputDir : nullptr,
                                    request.autostart, request.json);
    } else if (request.verb == verb::kCheck && printed.file()) {
        result.status = RunCheck(printed.file(), request.repair, request.json);
    } else if (request.verb == verb::kCompact && printed.file()) {
        result.status = RunCompact(printed.file(), request.json);
    } else if (request.verb == verb::kSelect && printed.file() && errors.file() &&
               (request.mode == "Backup" || request.mode == "Export")) {
        result.status = RunSelection(window, request.mode, request.paths, request.list, printed.file(), errors.file(),
                                     request.json);
    } else if (request.verb == verb::kRestore && printed.file() && errors.file() && request.dryRun) {
        const std::string name = request.mode == "select" ? "restore --select" : "restore " + request.mode;
        result.status = RunRestorePlan(printed.file(), errors.file(), request.mode, request.paths, request.json, name);
    } else if (request.verb == verb::kRestore && errors.file() && request.mode == "select") {
        result.status = RunRestoreSelection(window, request.paths, errors.file());
        if (result.status == kExitUsage && request.json && printed.file()) {
            std::fprintf(
                printed.file(), "%s\n",
                ErrorJson("restore --select", kExitUsage, "the archive holds no such folder or message").c_str());
        }
    } else {
        result.status = kExitUsage;
        result.errors = "This program does not carry out \"" + request.verb + "\" for others.\n";
    }
    ui::SetPort(previous);
    if (quiet) tallymere::SetPassProgress({});
    result.output = port.output + printed.Text();
    result.errors += errors.Text();
    if (passes && result.status == kExitDone) {
        // As the command line reports a pass it ran itself.
        const tallymere::CommandResult& ran = tallymere::LastCommandResult();
        if (request.json) result.output = ResultJson(ran, tallymere::PassDone()) + "\n";
        if (ran.interrupted) {
            result.status = kExitInterrupted;
            result.errors += InterruptedLine(tallymere::PassDone()) + "\n";
        }
    }
    if (!port.errorWords.empty()) {
        result.failureCaption = port.errorCaption;
        result.failureWords = port.errorWords;
    }
    return result;
}

}  // namespace

// ---- The client's side ----

CallOutcome Call(const RemoteRequest& request, RemoteResult* result, std::chrono::steady_clock::duration limit) {
    const auto deadline = limit == std::chrono::steady_clock::duration::max()
                              ? std::chrono::steady_clock::time_point::max()
                              : std::chrono::steady_clock::now() + limit;
    platform::device::ChannelCall call;
    if (!call.Start(EncodeRequest(request))) return CallOutcome::kTurnedAway;
    bool started = false;
    bool stopSent = false;
    for (;;) {
        // Ctrl-C here stops the pass there (see interrupt.h).
        if (!stopSent && tallymere::StopRequested()) {
            // Still waiting for its turn: the client ends at once, and the request goes with it.
            if (!started) return CallOutcome::kInterrupted;
            stopSent = true;
            call.Send(kStop);
        }
        std::string frame;
        const platform::device::ClientWord word = call.Next(&frame, 50);
        if (word == platform::device::ClientWord::kNothing) {
            if (!started && std::chrono::steady_clock::now() > deadline) return CallOutcome::kTurnedAway;
            continue;
        }
        if (word == platform::device::ClientWord::kGone) break;
        if (frame == kStarted) {
            started = true;
            continue;
        }
        std::uint32_t done = 0;
        std::uint32_t total = 0;
        if (DecodeProgress(frame, &done, &total)) {
            ShowProgress(done, total);
            continue;
        }
        ClearProgressLine();
        if (auto decoded = DecodeResult(frame)) {
            *result = *decoded;
            return decoded->carriedOut ? CallOutcome::kDone : CallOutcome::kTurnedAway;
        }
        break;
    }
    ClearProgressLine();
    return started ? CallOutcome::kEndedMidway : CallOutcome::kTurnedAway;
}

bool Served() {
    platform::device::ChannelCall probe;
    return probe.Start("");
}

// ---- Serving ----

void ServeRemoteRequests(bool hasScreenWindow) {
    Server& server = TheServer();
    {
        std::lock_guard lock(server.mutex);
        server.stopping = false;
        server.hasScreenWindow = hasScreenWindow;
    }
    platform::device::ServeChannel(Answer);
}

void StopRemoteRequests() {
    Server& server = TheServer();
    {
        std::lock_guard lock(server.mutex);
        server.stopping = true;
    }
    platform::device::CloseChannel();
    std::lock_guard lock(server.mutex);
    server.waiting.clear();
}

void RunRemoteRequest(ui::HWND window, ui::LPARAM lParam) {
    std::shared_ptr<Job> job;
    {
        Server& server = TheServer();
        std::lock_guard lock(server.mutex);
        auto found = server.waiting.find(static_cast<std::uint64_t>(lParam));
        if (found == server.waiting.end()) return;  // withdrawn: its client was answered already
        job = found->second;
        server.waiting.erase(found);
    }
    {
        std::lock_guard lock(job->mutex);
        job->started = true;
        job->changed.notify_all();
    }
    RemoteResult result = Execute(window, *job);
    std::lock_guard lock(job->mutex);
    // A stop its client asked for ends with the job: the program's next command runs whole. A
    // stop of the program's own (a signal, Exit) stays for the pass it may be nested in.
    if (job->stopAsked) tallymere::ClearStopRequest();
    job->result = std::move(result);
    job->done = true;
    job->changed.notify_all();
}

bool NeedsNoBox(const RemoteRequest& request) {
    return request.verb == verb::kShow || (request.verb == verb::kSettings && !request.outputDir) ||
           (request.verb == verb::kSelect && request.list);
}

int PrintResult(const RemoteResult& result, bool json, const std::string& name) {
    std::fwrite(result.output.data(), 1, result.output.size(), stdout);
    std::fflush(stdout);
    std::fwrite(result.errors.data(), 1, result.errors.size(), stderr);
    const bool failed = !result.failureCaption.empty() || !result.failureWords.empty();
    if (json && !failed && result.status != kExitDone && result.output.empty()) {
        // Whatever the outcome, one object: the first line the program said about it.
        std::string error = result.errors.substr(0, result.errors.find('\n'));
        if (error.rfind("tallymere-cli: ", 0) == 0) error.erase(0, 15);
        std::printf("%s\n", ErrorJson(name, result.status, error).c_str());
        std::fflush(stdout);
    }
    if (failed) {
        const std::string line = result.failureCaption + ": " + result.failureWords + "\n";
        std::fwrite(line.data(), 1, line.size(), stderr);
        if (json) {
            std::printf("%s\n", ErrorJson(name, result.status, result.failureWords, result.failureCaption).c_str());
            std::fflush(stdout);
        }
    }
    std::fflush(stderr);
    return result.status;
}

std::optional<RemoteResult> AskToShow() {
    RemoteRequest request;
    request.verb = verb::kShow;
    RemoteResult result;
    // The holder answers at once, whatever its window shows; a holder that does not is not
    // waited for long.
    if (Call(request, &result, 1s) != CallOutcome::kDone) return std::nullopt;
    return result;
}

}  // namespace remote
