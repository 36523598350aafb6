// Runs tallymere-cli in the background, as a user runs `watch` in one terminal while working in
// another: its standard output is read line by line while it runs, and a signal stops it.
#pragma once

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

class BackgroundCli {
public:
    BackgroundCli() = default;
    BackgroundCli(const BackgroundCli&) = delete;
    BackgroundCli& operator=(const BackgroundCli&) = delete;
    ~BackgroundCli() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        if (out_ >= 0) ::close(out_);
    }

    // Starts `program` (tallymere-cli unless given) with `args` and the extra environment
    // entries `env`; standard input is empty, standard error goes to the file `errors`.
    bool Start(const std::vector<std::string>& args, const std::string& errors, std::string program = "",
               const std::vector<std::string>& env = {}) {
#ifdef TALLYMERE_CLI
        if (program.empty()) program = TALLYMERE_CLI;
#endif
        int outPipe[2];
        if (::pipe(outPipe) != 0) return false;
        pid = ::fork();
        if (pid < 0) return false;
        if (pid == 0) {
            ::dup2(outPipe[1], 1);
            ::close(outPipe[0]);
            ::close(outPipe[1]);
            if (!std::freopen("/dev/null", "r", stdin) || !std::freopen(errors.c_str(), "w", stderr)) ::_exit(127);
            for (const std::string& e : env) ::putenv(const_cast<char*>(e.c_str()));
            std::vector<std::string> copies = args;
            std::vector<char*> argv{program.data()};
            for (std::string& a : copies) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(outPipe[1]);
        out_ = outPipe[0];
        return true;
    }

    // The next line of standard output (without its line end); empty when none came within
    // `limit` or the output ended.
    std::string ReadLine(std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            if (auto nl = buffer_.find('\n'); nl != std::string::npos) {
                std::string line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return line;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return {};
            pollfd fd{out_, POLLIN, 0};
            if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) continue;
            char chunk[1024];
            const ssize_t n = ::read(out_, chunk, sizeof chunk);
            if (n <= 0) return {};
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    // Sends `signal` and waits up to `limit` for the process to end; its exit status, 128 +
    // signal when a signal ended it, or -1 when it did not end in time (it is then killed).
    int Stop(int signal, std::chrono::milliseconds limit) {
        if (pid <= 0) return -1;
        ::kill(pid, signal);
        const auto end = std::chrono::steady_clock::now() + limit;
        int status = 0;
        for (;;) {
            const pid_t done = ::waitpid(pid, &status, WNOHANG);
            if (done == pid) break;
            if (std::chrono::steady_clock::now() > end) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, nullptr, 0);
                pid = -1;
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    pid_t pid = -1;

private:
    int out_ = -1;
    std::string buffer_;
};

// Runs tallymere-cli on a terminal of its own (a pseudo-terminal), as a user at a terminal
// does: what it writes is read as it comes, and keys typed there (Ctrl-C among them) reach it
// through the terminal.
class TerminalCli {
public:
    TerminalCli() = default;
    TerminalCli(const TerminalCli&) = delete;
    TerminalCli& operator=(const TerminalCli&) = delete;
    ~TerminalCli() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        if (master_ >= 0) ::close(master_);
    }

    // Starts tallymere-cli with `args` and the extra environment entries `env` on a new terminal.
    bool Start(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
#ifdef TALLYMERE_CLI
        std::string program = TALLYMERE_CLI;
#else
        std::string program;
#endif
        winsize size{};
        size.ws_row = 24;
        size.ws_col = 200;
        pid = ::forkpty(&master_, nullptr, nullptr, &size);
        if (pid < 0) return false;
        if (pid == 0) {
            std::vector<std::string> copies = args;
            std::vector<std::string> entries = env;
            for (std::string& e : entries) ::putenv(e.data());
            std::vector<char*> argv{program.data()};
            for (std::string& a : copies) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
        return true;
    }

    // Reads until what was written matches `pattern` somewhere; false when it did not within
    // `limit` or the program ended first.
    bool WaitFor(const std::regex& pattern, std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!std::regex_search(output, pattern)) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0 || ReadSome(static_cast<int>(left.count())) <= 0) return false;
        }
        return true;
    }

    // Types `keys` (Ctrl-C is "\x03").
    void Type(const std::string& keys) { [[maybe_unused]] ssize_t n = ::write(master_, keys.data(), keys.size()); }

    // Reads everything until the program ends and returns its exit status (128 + signal when a
    // signal ended it), or -1 when it did not end within `limit` (it is then killed).
    int Finish(std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            const int read = left.count() > 0 ? ReadSome(static_cast<int>(left.count())) : 0;
            if (read < 0) break;
            if (read == 0) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, nullptr, 0);
                pid = -1;
                return -1;
            }
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    pid_t pid = -1;
    std::string output;

private:
    // 1 when something was read, 0 when nothing came within `wait` ms, -1 at the end of the
    // output (the program closed the terminal).
    int ReadSome(int wait) {
        pollfd fd{master_, POLLIN, 0};
        const int ready = ::poll(&fd, 1, wait);
        if (ready == 0) return 0;
        if (ready < 0) return -1;
        char chunk[4096];
        const ssize_t n = ::read(master_, chunk, sizeof chunk);
        if (n <= 0) return -1;
        output.append(chunk, static_cast<std::size_t>(n));
        return 1;
    }

    int master_ = -1;
};

}  // namespace testing_support
