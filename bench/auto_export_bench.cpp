// Automatic export timing through the binaries: `tallymere-cli watch` runs on a fresh device
// folder while `tallymere-cli device deliver` delivers messages one at a time. For each, the
// time from the deliver command's return to its text file's existence, less the command's
// 2000 ms pause, is measured. Prints one line, name, seconds and microseconds per message:
//
//     auto-export <median seconds> <median microseconds>
//
// and the fastest and slowest message on standard error. Usage: auto_export_bench [--messages N]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kPause = 2000ms;

// Starts tallymere-cli with `args`; its standard output goes to `outFd` (or /dev/null when -1),
// standard input and standard error to /dev/null.
pid_t Spawn(const std::vector<std::string>& args, int outFd) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(outFd >= 0 ? outFd : null, 1);
    ::dup2(null, 2);
    std::string program = TALLYMERE_CLI;
    std::vector<std::string> copies = args;
    std::vector<char*> argv{program.data()};
    for (std::string& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
}

int Wait(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::size_t CountTexts(const std::filesystem::path& dir) {
    std::size_t count = 0;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->path().extension() == ".txt") ++count;
    }
    return count;
}

bool ReadLine(int fd, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    char c = 0;
    while (Clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        if (::read(fd, &c, 1) != 1) return false;
        if (c == '\n') return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    int messages = 20;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--messages") == 0) messages = std::max(1, std::atoi(argv[i + 1]));
    }
    std::string pattern = (std::filesystem::temp_directory_path() / "tallymere-auto-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::filesystem::path base = pattern;
    const std::string device = (base / "device").string();
    const std::filesystem::path inbox = base / "device/Program Files/Tallymere/Tallyport/SMS/Inbox";

    int out[2];
    if (::pipe(out) != 0) return 1;
    const pid_t watch = Spawn({"--device", device, "watch"}, out[1]);
    ::close(out[1]);
    if (!ReadLine(out[0], 60s)) {
        std::fprintf(stderr, "watch did not start\n");
        ::kill(watch, SIGKILL);
        Wait(watch);
        return 1;
    }

    std::vector<double> latencies;  // microseconds beyond the pause
    bool ok = true;
    for (int i = 1; i <= messages && ok; ++i) {
        const std::string body = "automatic export number " + std::to_string(i);
        const pid_t deliver =
            Spawn({"--device", device, "device", "deliver", "--from", "+4917012345", "--body", body}, -1);
        if (Wait(deliver) != 0) {
            std::fprintf(stderr, "device deliver failed\n");
            ok = false;
            break;
        }
        const auto delivered = Clock::now();
        const auto limit = delivered + 30s;
        while (CountTexts(inbox) < static_cast<std::size_t>(i)) {
            if (Clock::now() > limit) {
                std::fprintf(stderr, "message %d was not exported\n", i);
                ok = false;
                break;
            }
            std::this_thread::sleep_for(200us);
        }
        if (!ok) break;
        const auto took = std::chrono::duration<double, std::micro>(Clock::now() - delivered - kPause).count();
        latencies.push_back(took);
    }

    ::kill(watch, SIGTERM);
    const int status = Wait(watch);
    ::close(out[0]);
    std::error_code ec;
    std::filesystem::remove_all(base, ec);
    if (!ok || status != 0) {
        if (status != 0) std::fprintf(stderr, "watch ended with status %d\n", status);
        return 1;
    }

    std::sort(latencies.begin(), latencies.end());
    const std::size_t n = latencies.size();
    const double median = n % 2 ? latencies[n / 2] : (latencies[n / 2 - 1] + latencies[n / 2]) / 2;
    std::printf("auto-export %.6f %.0f\n", median / 1e6, median);
    std::fprintf(stderr, "auto-export: %zu messages, fastest %.0f us, slowest %.0f us beyond the %lld ms pause\n", n,
                 latencies.front(), latencies.back(), static_cast<long long>(kPause.count()));
    return 0;
}
