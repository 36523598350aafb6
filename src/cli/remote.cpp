#include "cli/remote.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "cli/commands.h"
#include "platform/channel.h"
#include "platform/device.h"
#include "platform/instance.h"
#include "platform/no_destructor.h"
#include "platform/text.h"
#include "shell/commands.h"
#include "support/fatal.h"

namespace cli {

namespace ui = platform::ui;
using Json = nlohmann::json;
using namespace std::chrono_literals;

// ---- Encoding ----

std::string EncodeRequest(const RemoteRequest& request) {
    Json j{{"verb", request.verb}, {"command", request.command}};
    if (request.outputDir) j["outputDir"] = *request.outputDir;
    if (request.repair) j["repair"] = true;
    return j.dump();
}

std::optional<RemoteRequest> DecodeRequest(const std::string& frame) {
    const Json j = Json::parse(frame, nullptr, false);
    if (!j.is_object() || !j.contains("verb") || !j["verb"].is_string()) return std::nullopt;
    RemoteRequest request;
    request.verb = j["verb"].get<std::string>();
    if (j.contains("command") && j["command"].is_number_unsigned()) request.command = j["command"].get<std::uint32_t>();
    if (j.contains("outputDir") && j["outputDir"].is_string()) request.outputDir = j["outputDir"].get<std::string>();
    if (j.contains("repair") && j["repair"].is_boolean()) request.repair = j["repair"].get<bool>();
    return request;
}

std::string EncodeResult(const RemoteResult& result) {
    return Json{{"carriedOut", result.carriedOut},
                {"status", result.status},
                {"output", result.output},
                {"failureCaption", result.failureCaption},
                {"failureWords", result.failureWords},
                {"windowShown", result.windowShown}}
        .dump();
}

std::optional<RemoteResult> DecodeResult(const std::string& frame) {
    const Json j = Json::parse(frame, nullptr, false);
    if (!j.is_object() || !j.contains("carriedOut") || !j.contains("status")) return std::nullopt;
    RemoteResult result;
    try {
        result.carriedOut = j.at("carriedOut").get<bool>();
        result.status = j.at("status").get<int>();
        result.output = j.value("output", "");
        result.failureCaption = j.value("failureCaption", "");
        result.failureWords = j.value("failureWords", "");
        result.windowShown = j.value("windowShown", false);
    } catch (const Json::exception&) {
        return std::nullopt;
    }
    return result;
}

namespace {

const std::string kStarted = R"({"started":true})";

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

void Answer(const std::string& frame, platform::device::ChannelReply& reply) {
    const std::optional<RemoteRequest> request = DecodeRequest(frame);
    if (!request) return;  // not a request (a client looking whether anyone serves)
    auto job = std::make_shared<Job>();
    job->request = *request;
    Server& server = TheServer();
    std::uint64_t id = 0;
    {
        std::lock_guard lock(server.mutex);
        if (server.stopping) {
            reply.Send(EncodeResult({}));
            return;
        }
        id = server.nextId++;
        server.waiting[id] = job;
    }
    ui::HWND window = tallymere::mainWindow.load();
    if (!window || !ui::PostMessageW(window, WM_REMOTE_REQUEST, 0, static_cast<ui::LPARAM>(id))) {
        Withdraw(id);
        reply.Send(EncodeResult({}));
        return;
    }
    std::unique_lock lock(job->mutex);
    while (!job->started) {
        bool gone = window->IsDestroyed();
        {
            std::lock_guard serverLock(server.mutex);
            gone = gone || server.stopping;
        }
        if (gone) {
            lock.unlock();
            if (Withdraw(id)) {
                reply.Send(EncodeResult({}));
                return;
            }
            lock.lock();  // taken meanwhile: it runs
            continue;
        }
        job->changed.wait_for(lock, 100ms);
    }
    lock.unlock();
    reply.Send(kStarted);
    lock.lock();
    job->changed.wait(lock, [&] { return job->done; });
    const RemoteResult result = job->result;
    lock.unlock();
    reply.Send(EncodeResult(result));
    lock.lock();
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
            job_.result.status = 1;
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
    if (request.verb == "show") {
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
    if (request.verb == "command" && IsForwardedCommand(request.command)) {
        tallymere::OnCommand(window, request.command);
    } else if (request.verb == "settings" && printed.file()) {
        result.status = RunSettings(printed.file(), request.outputDir ? &*request.outputDir : nullptr);
    } else if (request.verb == "check" && printed.file()) {
        result.status = RunCheck(printed.file(), request.repair);
    } else {
        result.status = 2;
        result.output = "This program does not carry out \"" + request.verb + "\" for others.\n";
    }
    ui::SetPort(previous);
    result.output = port.output + printed.Text() + result.output;
    if (!port.errorWords.empty()) {
        result.failureCaption = port.errorCaption;
        result.failureWords = port.errorWords;
    }
    return result;
}

// ---- The client's side ----

enum class CallOutcome {
    kDone,           // a result came
    kTurnedAway,     // nothing ran: no reply, or the program ended before it started the request
    kEndedMidway,    // the request started, then the connection broke
};

CallOutcome Call(const RemoteRequest& request, RemoteResult* result) {
    platform::device::ChannelCall call;
    if (!call.Start(EncodeRequest(request))) return CallOutcome::kTurnedAway;
    bool started = false;
    for (std::string frame; call.Next(&frame);) {
        if (frame == kStarted) {
            started = true;
            continue;
        }
        if (auto decoded = DecodeResult(frame)) {
            *result = *decoded;
            return decoded->carriedOut ? CallOutcome::kDone : CallOutcome::kTurnedAway;
        }
        break;
    }
    return started ? CallOutcome::kEndedMidway : CallOutcome::kTurnedAway;
}

// Whether a program serves the device's channel (it holds the device and takes requests).
bool Served() {
    platform::device::ChannelCall probe;
    return probe.Start("");
}

}  // namespace

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
    job->result = std::move(result);
    job->done = true;
    job->changed.notify_all();
}

bool MountDevice(const GlobalOptions& options) {
    std::string error;
    if (!platform::device::Mount(platform::device::ChooseFolder(options.device), &error)) {
        std::fprintf(stderr, "tallymere-cli: %s\n", error.c_str());
        return false;
    }
    return true;
}

bool LockDevice() {
    long holder = 0;
    if (platform::device::LockProgram(&holder)) return true;
    PrintAlreadyRunning(holder);
    return false;
}

void PrintAlreadyRunning(long holderPid) {
    std::fprintf(stderr, "Tallymere is already running on this device (process %ld).\n", holderPid);
}

int PrintResult(const RemoteResult& result) {
    std::fwrite(result.output.data(), 1, result.output.size(), stdout);
    std::fflush(stdout);
    if (!result.failureCaption.empty() || !result.failureWords.empty()) {
        const std::string line = result.failureCaption + ": " + result.failureWords + "\n";
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
    }
    return result.status;
}

int LockOrForward(const RemoteRequest& request, const std::function<bool()>& confirm, bool* confirmed) {
    // A program that stops serving while this waits is ending: the device is free soon.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    bool asked = false;
    for (;;) {
        long holder = 0;
        if (platform::device::LockProgram(&holder)) return -1;
        if (!Served()) {
            PrintAlreadyRunning(holder);
            return 1;
        }
        if (confirm && !asked) {
            asked = true;
            if (!confirm()) return 0;
            if (confirmed) *confirmed = true;
        }
        RemoteResult result;
        switch (Call(request, &result)) {
            case CallOutcome::kDone:
                return PrintResult(result);
            case CallOutcome::kEndedMidway:
                std::fprintf(stderr, "Tallymere (process %ld) ended before the command was done.\n", holder);
                return 1;
            case CallOutcome::kTurnedAway:
                break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            PrintAlreadyRunning(holder);
            return 1;
        }
        std::this_thread::sleep_for(100ms);
    }
}

std::optional<RemoteResult> AskToShow() {
    RemoteRequest request;
    request.verb = "show";
    RemoteResult result;
    if (Call(request, &result) != CallOutcome::kDone) return std::nullopt;
    return result;
}

}  // namespace cli
