// Automatic export timing through the binaries: `tallymere-cli watch` runs on a fresh device
// folder while messages arrive. Three figures, each printed as one line:
//
//     auto-export <median seconds> <median microseconds>
//         `tallymere-cli device deliver` delivers messages one at a time; for each, the time from
//         the deliver command's return to its text file's existence, less the 2000 ms pause
//         (--messages N, default 20; fastest and slowest on standard error).
//     auto-burst <median seconds> <largest seconds>
//         --burst N: N messages delivered at --rate R a second (default 1000 at 20) by the phone's
//         side in this process; for each, the time from its delivery to its place on the export
//         list, less the pause.
//     auto-cpu <median seconds> <median microseconds>
//         --exported N: a device of N messages, all exported already (device seed, export-all),
//         then --messages M arrivals one at a time; for each, the processor time the watch
//         process spent (every thread, from /proc/PID/task/*/schedstat) from the delivery until
//         its export had settled, which is the arrival's cost beyond the pause.
//
// --cli PATH runs another build's tallymere-cli (a "before" build).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "phone/device_deliver.h"
#include "phone/device_store.h"
#include "platform/device.h"
#include "platform/text.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kPause = 2000ms;

std::string& CliPath() {
    static std::string path = TALLYMERE_CLI;
    return path;
}

std::uintmax_t ListEntries(const std::filesystem::path& list) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(list, ec);
    return ec ? 0 : size / 28;
}

// The processor time of every thread of the process, in nanoseconds.
std::uint64_t ProcessCpuNs(pid_t pid) {
    std::uint64_t total = 0;
    std::error_code ec;
    const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
    for (std::filesystem::directory_iterator it(tasks, ec), end; !ec && it != end; it.increment(ec)) {
        std::ifstream stat(it->path() / "schedstat");
        std::uint64_t ns = 0;
        if (stat >> ns) total += ns;
    }
    return total;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    if (n == 0) return 0;
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Starts tallymere-cli with `args`; its standard output goes to `outFd` (or /dev/null when -1),
// standard input and standard error to /dev/null.
pid_t Spawn(const std::vector<std::string>& args, int outFd) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(outFd >= 0 ? outFd : null, 1);
    ::dup2(null, 2);
    std::string program = CliPath();
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
    int burst = 0;
    int rate = 20;
    int exported = 0;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--messages") == 0) messages = std::max(1, std::atoi(argv[i + 1]));
        if (std::strcmp(argv[i], "--burst") == 0) burst = std::max(1, std::atoi(argv[i + 1]));
        if (std::strcmp(argv[i], "--rate") == 0) rate = std::max(1, std::atoi(argv[i + 1]));
        if (std::strcmp(argv[i], "--exported") == 0) exported = std::max(1, std::atoi(argv[i + 1]));
        if (std::strcmp(argv[i], "--cli") == 0) CliPath() = argv[i + 1];
    }
    std::string pattern = (std::filesystem::temp_directory_path() / "tallymere-auto-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::filesystem::path base = pattern;
    const std::string device = (base / "device").string();
    const std::filesystem::path inbox = base / "device/Program Files/Tallymere/Tallyport/SMS/Inbox";

    const std::filesystem::path list = base / "device/Program Files/Tallymere/Tallyport/Messages.ndx";
    if (exported > 0) {
        // The device's messages, all exported before the program starts.
        const std::string count = std::to_string(exported);
        if (Wait(Spawn({"--device", device, "device", "seed", "--messages", count}, -1)) != 0 ||
            Wait(Spawn({"--device", device, "export-all"}, -1)) != 0) {
            std::fprintf(stderr, "seeding or exporting failed\n");
            return 1;
        }
    } else if (burst > 0) {
        if (Wait(Spawn({"--device", device, "start"}, -1)) != 0) return 1;
    }

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
    std::vector<double> cpu;        // microseconds of processor time per arrival
    bool ok = true;
    if (burst > 0) {
        std::string error;
        if (!platform::device::Mount(device, &error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            ok = false;
        }
        std::vector<Clock::time_point> delivered(static_cast<std::size_t>(burst));
        std::vector<Clock::time_point> listed(static_cast<std::size_t>(burst));
        std::atomic<int> deliveredCount{0};
        std::thread watcher([&] {
            // Each message's moment on the export list (the list grows in arrival order).
            std::uintmax_t seen = 0;
            const auto limit = Clock::now() + std::chrono::seconds(burst / rate + 120);
            while (ok && seen < static_cast<std::uintmax_t>(burst) && Clock::now() < limit) {
                const std::uintmax_t now = std::min<std::uintmax_t>(ListEntries(list), deliveredCount.load());
                for (; seen < now; ++seen) listed[seen] = Clock::now();
                std::this_thread::sleep_for(1ms);
            }
            if (seen < static_cast<std::uintmax_t>(burst)) ok = false;
        });
        if (ok) {
            phone::Phone phone;
            const auto start = Clock::now();
            for (int n = 0; n < burst; ++n) {
                std::this_thread::sleep_until(start + std::chrono::microseconds(1'000'000LL * n / rate));
                phone::Delivery d;
                d.body = u"burst number " + platform::FromUtf8(std::to_string(n));
                d.from = u"+4917012345";
                phone::Deliver(phone, d);
                delivered[n] = Clock::now();
                deliveredCount.store(n + 1);
            }
        }
        watcher.join();
        if (!ok) std::fprintf(stderr, "the burst was not exported in time\n");
        for (int n = 0; ok && n < burst; ++n) {
            latencies.push_back(std::chrono::duration<double, std::micro>(listed[n] - delivered[n] - kPause).count());
        }
        messages = 0;
    }
    for (int i = 1; i <= messages && ok; ++i) {
        const std::uint64_t cpuBefore = ProcessCpuNs(watch);
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
        // On a device exported already the export list tells (the inbox holds seeded messages).
        auto waiting = [&] {
            return exported > 0 ? ListEntries(list) < static_cast<std::uintmax_t>(exported + i)
                                : CountTexts(inbox) < static_cast<std::size_t>(i);
        };
        while (waiting()) {
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
        if (exported > 0) {
            // Settled: the list entry is written after the files, and the batch ends after it.
            while (ListEntries(list) < static_cast<std::uintmax_t>(exported + i) && Clock::now() < limit) {
                std::this_thread::sleep_for(200us);
            }
            std::this_thread::sleep_for(300ms);
            cpu.push_back(static_cast<double>(ProcessCpuNs(watch) - cpuBefore) / 1000.0);
        }
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
    const double median = Median(latencies);
    if (burst > 0) {
        std::printf("auto-burst %.6f %.6f\n", median / 1e6, latencies.back() / 1e6);
        std::fprintf(stderr,
                     "auto-burst: %zu messages at %d a second, median %.0f us, largest %.0f us beyond the pause\n", n,
                     rate, median, latencies.back());
        return 0;
    }
    if (exported > 0) {
        const double cpuMedian = Median(cpu);
        std::sort(cpu.begin(), cpu.end());
        std::printf("auto-cpu %.6f %.0f\n", cpuMedian / 1e6, cpuMedian);
        std::fprintf(stderr,
                     "auto-cpu: %zu arrivals with %d exported, processor time median %.0f us (least %.0f, most %.0f)\n",
                     cpu.size(), exported, cpuMedian, cpu.front(), cpu.back());
    }
    std::printf("auto-export %.6f %.0f\n", median / 1e6, median);
    std::fprintf(stderr, "auto-export: %zu messages, fastest %.0f us, slowest %.0f us beyond the %lld ms pause\n", n,
                 latencies.front(), latencies.back(), static_cast<long long>(kPause.count()));
    return 0;
}
