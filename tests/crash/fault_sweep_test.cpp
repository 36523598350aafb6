// The fault sweep: every named platform operation that a command reaches is made to fail, at its
// first, middle and last call, and the command's outcome is compared with its outcome without a
// fault. A run may fail (status 1, with its words on standard error); a run that ends with
// status 0 must leave exactly what the run without the fault left: the same archive, the same
// export tree and export list, the same store. A failure reported as success would show here as
// a changed result with status 0.
//
// The commands: backup-all, restore extra, export-all, backup and export by selection, and the
// automatic mode (watch --backup: a message arrives and is exported and archived on its own).
// Which operations a command reaches, and how often, comes from a run with the fault plan's tally
// (TALLYMERE_FAULT_TALLY). Each command's table (runs, failed, changed) is printed; changed must
// be 0.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli_background.h"
#include "cli/cli_runner.h"
#include "device_fixture.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing_support::CliResult;
using testing_support::ReadHostFile;
using Json = nlohmann::json;

const fs::path kOutput = "Program Files/Tallymere";

using Outcome = std::map<std::string, std::string>;

CliResult Cli(const fs::path& device, std::vector<std::string> args, const std::vector<std::string>& env = {}) {
    args.insert(args.begin(), {"--device", device.string()});
    return testing_support::RunCli(args, env);
}

std::string Unhex(const std::string& hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

void ReplaceAll(std::string* text, const std::string& from, const std::string& to) {
    if (from.empty()) return;
    for (std::size_t at = text->find(from); at != std::string::npos; at = text->find(from, at + to.size())) {
        text->replace(at, from.size(), to);
    }
}

// What a run leaves: every file below the output directory (except the log) by its relative
// path, and with `store` the store's dump. Identifiers a new store makes at random are replaced
// by the number of their message in content order, in the dump and in the archive's bytes alike;
// with `arrivalTimes` the modification times the arrival got from the clock are blanked.
Outcome Collect(const fs::path& device, bool store, bool arrivalTimes = false) {
    Outcome outcome;
    const fs::path root = device / kOutput;
    if (fs::exists(root)) {
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            if (!entry.is_regular_file() || entry.path().filename() == "tallymere.log") continue;
            outcome[fs::relative(entry.path(), root).generic_string()] = ReadHostFile(entry.path());
        }
    }
    if (!store) return outcome;
    const CliResult dump = Cli(device, {"device", "dump"});
    if (dump.status != 0) {
        outcome["<store>"] = "unreadable: " + dump.err;
        return outcome;
    }
    Json all = Json::parse(dump.out);
    std::vector<std::pair<std::string, Json*>> messages;  // content without identifier, message
    std::vector<std::uint64_t> times;
    for (Json& s : all["stores"]) {
        // A new store names its stores and folders afresh; the archive keeps their paths only.
        s.erase("entryid");
        for (Json& folder : s["folders"]) {
            folder.erase("entryid");
            for (Json& m : folder["messages"]) {
                Json content = m;
                content.erase("entryid");
                if (arrivalTimes) {
                    if (m["last_modification_time"].is_number())
                        times.push_back(m["last_modification_time"].get<std::uint64_t>());
                    m["last_modification_time"] = nullptr;
                    content.erase("last_modification_time");
                }
                messages.emplace_back(folder["path"].get<std::string>() + content.dump(), &m);
            }
        }
    }
    std::sort(messages.begin(), messages.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (std::size_t n = 0; n < messages.size(); ++n) {
        Json& m = *messages[n].second;
        // As long as an identifier, so that the files keep their lengths.
        std::string name = "<message " + std::to_string(n) + ">";
        name.resize(20, '.');
        const std::string id = Unhex(m["entryid"].get<std::string>());
        for (auto& [file, bytes] : outcome) ReplaceAll(&bytes, id, name);
        m["entryid"] = name;
    }
    if (arrivalTimes) {
        // As a record keeps it (8 bytes, little-endian) and as a text file writes it (its own line).
        for (std::uint64_t time : times) {
            std::string bytes;
            for (int i = 0; i < 8; ++i) bytes += static_cast<char>((time >> (8 * i)) & 0xFF);
            for (auto& [file, content] : outcome) ReplaceAll(&content, bytes, std::string(8, '\0'));
        }
        static const std::regex clock(R"(\n2\d{3}\.\d\d\.\d\d \d\d:\d\d:\d\d:\d+\n)");
        for (auto& [file, content] : outcome) {
            // The delivery time (the second line of the two) is the message's own, kept as it is.
            if (file.size() > 4 && file.substr(file.size() - 4) == ".txt") {
                const std::size_t first = content.find("\n2");
                const std::size_t second = first == std::string::npos ? first : content.find('\n', first + 1);
                if (second != std::string::npos) {
                    const std::size_t end = content.find('\n', second + 1);
                    if (end != std::string::npos && std::regex_match(content.substr(second, end - second + 1), clock)) {
                        content.replace(second, end - second + 1, "\n<clock>\n");
                    }
                }
            }
        }
    }
    outcome["<store>"] = all.dump(1);
    return outcome;
}

// What differs between two outcomes, for the failure message.
std::string Difference(const Outcome& want, const Outcome& got) {
    std::set<std::string> names;
    for (const auto& [name, bytes] : want) names.insert(name);
    for (const auto& [name, bytes] : got) names.insert(name);
    std::string what;
    for (const std::string& name : names) {
        const auto w = want.find(name), g = got.find(name);
        if (w == want.end()) what += " +" + name;
        else if (g == got.end()) what += " -" + name;
        else if (w->second != g->second) what += " ~" + name;
    }
    return what;
}

std::map<std::string, int> ReadTally(const fs::path& file) {
    std::map<std::string, int> tally;
    std::ifstream in(file);
    std::string name;
    int count = 0;
    while (in >> name >> count) tally[name] = count;
    return tally;
}

// The calls at which an operation reached `count` times is made to fail.
std::vector<int> CallsToFail(int count) {
    std::set<int> calls{1, (count + 1) / 2, count};
    return {calls.begin(), calls.end()};
}

struct Trial {
    int status = 0;
    std::string err;
    Outcome outcome;
};

class FaultSweep : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (std::getenv("TMPDIR") == nullptr && fs::is_directory("/dev/shm") && ::access("/dev/shm", W_OK) == 0) {
            ::setenv("TMPDIR", "/dev/shm", 1);
        }
        base_ = testing_support::MakeTempDir("tallymere-sweep-");
        seeded_ = base_ / "seeded";
        ASSERT_EQ(Cli(seeded_, {"device", "seed", "--messages", "24", "--seed", "5"}).status, 0);
        ASSERT_EQ(Cli(seeded_, {"start"}).status, 0);
        // A phone that lost its store, with the archive of every message.
        restoreFrom_ = base_ / "restore-from";
        fs::copy(seeded_, restoreFrom_, fs::copy_options::recursive);
        ASSERT_EQ(Cli(restoreFrom_, {"backup-all"}).status, 0);
        for (const char* file : {"messages.db", "messages.db-wal", "messages.db-shm"}) {
            fs::remove(restoreFrom_ / ".platform" / file);
        }
    }
    static void TearDownTestSuite() { fs::remove_all(base_); }

    static std::vector<std::string> Env(const std::string& plan, const fs::path& tally = {}) {
        std::vector<std::string> env{"TALLYMERE_FAULTS=quick,instant" + (plan.empty() ? "" : "," + plan)};
        if (!tally.empty()) env.push_back("TALLYMERE_FAULT_TALLY=" + tally.string());
        return env;
    }

    // Runs a one-shot command on a fresh copy of `from` under `plan`.
    static Trial OneShot(const fs::path& from, const std::vector<std::string>& args, bool store,
                         const std::string& plan, const fs::path& tally = {}) {
        const fs::path device = base_ / "trial";
        fs::remove_all(device);
        fs::copy(from, device, fs::copy_options::recursive);
        const CliResult r = Cli(device, args, Env(plan, tally));
        return {r.status, r.err, Collect(device, store)};
    }

    // The automatic mode on a fresh copy of the seeded phone: `watch --backup` under `plan`, one
    // message arrives, and once it is exported and archived (or the program has ended) the
    // program is stopped.
    static Trial Automatic(const std::string& plan, const fs::path& tally = {}) {
        const fs::path device = base_ / "trial";
        fs::remove_all(device);
        fs::copy(seeded_, device, fs::copy_options::recursive);
        testing_support::BackgroundCli watch;
        const fs::path errors = base_ / "watch-errors.txt";
        std::vector<std::string> env = Env(plan, tally);
        Trial run;
        if (!watch.Start({"--device", device.string(), "watch", "--backup"}, errors.string(), "", env)) {
            run.status = -1;
            return run;
        }
        if (!watch.ReadLine(20s).empty()) {
            const CliResult delivered =
                Cli(device, {"device", "deliver", "--folder", "SMS/Inbox/Work", "--from", "+4917012345", "--to",
                             "+4915199999=Ada", "--to", "+4915188888", "--subject", "Plan", "--body",
                             "Meet at nine.\nBring the keys.", "--time", "2026-03-01T09:30:00Z"});
            EXPECT_EQ(delivered.status, 0) << delivered.err;
            // Done when both lists hold the message, or when the program has ended on its own.
            const auto end = std::chrono::steady_clock::now() + 5s;
            auto size = [&](const fs::path& file) {
                std::error_code ec;
                const auto n = fs::file_size(device / kOutput / file, ec);
                return ec ? 0 : n;
            };
            while (std::chrono::steady_clock::now() < end && ::kill(watch.pid, 0) == 0 &&
                   (size("Tallyport/Messages.ndx") < 28 || size("Tallymere/Messages.ndx") < 28)) {
                int status = 0;
                if (::waitpid(watch.pid, &status, WNOHANG) == watch.pid) {
                    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                    watch.pid = -1;
                    break;
                }
                std::this_thread::sleep_for(10ms);
            }
        }
        if (watch.pid > 0) run.status = watch.Stop(SIGTERM, 20s);
        run.err = ReadHostFile(errors);
        run.outcome = Collect(device, true, true);
        return run;
    }

    // Sweeps every operation `runner` reaches and prints the command's table.
    template <class Runner>
    void Sweep(const std::string& name, Runner runner) {
        const fs::path tally = base_ / "tally";
        fs::remove(tally);
        const Trial reference = runner("", tally);
        ASSERT_EQ(reference.status, 0) << name << ": " << reference.err;
        // The outcome does not depend on the run: a second run without a fault leaves the same.
        const Trial again = runner("", fs::path());
        ASSERT_EQ(again.status, 0) << again.err;
        ASSERT_EQ(Difference(reference.outcome, again.outcome), "") << name << " is not reproducible";
        const std::map<std::string, int> reached = ReadTally(tally);
        ASSERT_FALSE(reached.empty()) << name << ": no operation counted";

        int runs = 0, failed = 0, changed = 0;
        for (const auto& [operation, count] : reached) {
            for (int call : CallsToFail(count)) {
                const std::string plan = operation + ":" + std::to_string(call);
                const Trial run = runner(plan, fs::path());
                ++runs;
                if (run.status != 0) {
                    ++failed;
                    EXPECT_EQ(run.status, 1) << name << " with " << plan << ": " << run.err;
                    EXPECT_NE(run.err, "") << name << " with " << plan << " failed without a word";
                    continue;
                }
                const std::string difference = Difference(reference.outcome, run.outcome);
                if (!difference.empty()) {
                    ++changed;
                    ADD_FAILURE() << name << " with " << plan << " ended with status 0 but changed:" << difference;
                }
            }
        }
        std::printf("fault sweep %-18s runs %4d  failed (status != 0) %4d  changed with status 0 %d\n", name.c_str(),
                    runs, failed, changed);
        std::fflush(stdout);
        EXPECT_EQ(changed, 0);
    }

    static inline fs::path base_, seeded_, restoreFrom_;
};

TEST_F(FaultSweep, BackupAll) {
    Sweep("backup-all", [](const std::string& plan, const fs::path& tally) {
        return OneShot(seeded_, {"backup-all"}, false, plan, tally);
    });
}

TEST_F(FaultSweep, RestoreExtra) {
    Sweep("restore extra", [](const std::string& plan, const fs::path& tally) {
        return OneShot(restoreFrom_, {"restore", "extra", "--yes"}, true, plan, tally);
    });
}

TEST_F(FaultSweep, ExportAll) {
    Sweep("export-all", [](const std::string& plan, const fs::path& tally) {
        return OneShot(seeded_, {"export-all"}, false, plan, tally);
    });
}

TEST_F(FaultSweep, BackupBySelection) {
    Sweep("backup --select", [](const std::string& plan, const fs::path& tally) {
        return OneShot(seeded_, {"backup", "--select", "SMS/Inbox", "SMS/Sent Items"}, false, plan, tally);
    });
}

TEST_F(FaultSweep, ExportBySelection) {
    Sweep("export --select", [](const std::string& plan, const fs::path& tally) {
        return OneShot(seeded_, {"export", "--select", "SMS"}, false, plan, tally);
    });
}

TEST_F(FaultSweep, AutomaticExportAndBackup) {
    Sweep("watch --backup", [](const std::string& plan, const fs::path& tally) { return Automatic(plan, tally); });
}

}  // namespace
