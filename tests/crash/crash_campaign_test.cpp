// The crash-and-fault campaign: backup-all, restore extra and export-all are interrupted at
// random points (kill -9 at a random moment, or the fault plan's crash form at a random call)
// and made to fail at every named platform call at several call counts, each on a fresh copy of
// a seeded device. After each trial the recovery runs (the command again, for some backup
// trials check --repair first) and the outcome is compared with what it must be:
//
//   backup   the index names every message of the store exactly once, all present; check sound;
//   restore  the store holds every archived message exactly once (identifiers aside), the index
//            names each of them; check sound; after a kill a backup appends nothing;
//   export   one complete text file per message (save at most one message twice after an
//            interruption) with its attachments, no unfinished file, the export list names each
//            message once;
//   resumed  a killed backup leaves at most one record beyond its index, the rerun appends only
//            what the killed pass had not, and Messages.dat ends with no byte outside a record;
//   compact  a killed compact leaves the old archive or the compacted one, both sound;
//   restore  after a killed restore and its rerun, an export writes nothing again.
//
// A faulted run must end with status 1 and its words, or with status 0 and an outcome that is
// already right: no failure ends with status 0.
//
// Every trial follows from the campaign's seed (TALLYMERE_CRASH_SEED, default 2008) and its
// number; a failing trial names both, and TALLYMERE_CRASH_TRIAL=<test>#<number> runs that one
// alone. TALLYMERE_CRASH_SCALE (percent, default 100) scales the number of trials; the sanitizer
// build runs a fifth of them.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli_runner.h"
#include "device_fixture.h"

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using testing_support::CliResult;
using testing_support::ReadHostFile;

constexpr int kMessages = 120;
const fs::path kOutput = "Program Files/Tallymere";

int Scaled(int trials) {
    const char* scale = std::getenv("TALLYMERE_CRASH_SCALE");
    const int percent = scale ? std::atoi(scale) : 100;
    return std::max(1, trials * std::clamp(percent, 1, 1000) / 100);
}

std::uint64_t CampaignSeed() {
    const char* seed = std::getenv("TALLYMERE_CRASH_SEED");
    return seed ? std::strtoull(seed, nullptr, 10) : 2008;
}

// Whether trial `number` of `test` is to run (all of them unless one is asked for).
bool Selected(const std::string& test, int number) {
    const char* only = std::getenv("TALLYMERE_CRASH_TRIAL");
    return only == nullptr || std::string(only) == test + "#" + std::to_string(number);
}

CliResult Cli(const fs::path& device, std::vector<std::string> args, const std::string& faults = "") {
    args.insert(args.begin(), {"--device", device.string()});
    return testing_support::RunCli(args, {"TALLYMERE_FAULTS=quick" + (faults.empty() ? "" : "," + faults)});
}

// Runs the command and kills it with SIGKILL after `delay`; its status (128 + 9 when killed).
int RunKilled(const fs::path& device, std::vector<std::string> args, std::chrono::microseconds delay) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (!std::freopen("/dev/null", "w", stdout) || !std::freopen("/dev/null", "w", stderr)) ::_exit(127);
        std::string program = TALLYMERE_CLI, deviceArg = device.string(), option = "--device";
        std::vector<char*> argv{program.data(), option.data(), deviceArg.data()};
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    std::this_thread::sleep_for(delay);
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

Json Dump(const fs::path& device) {
    const CliResult r = Cli(device, {"device", "dump"});
    if (r.status != 0) return Json();
    return Json::parse(r.out);
}

// Every message as its folder path and its content without identifier, sorted: what a restore
// brings back. A record cannot tell a missing text or number from an empty one.
std::vector<std::string> Contents(const Json& dump) {
    std::vector<std::string> all;
    for (const Json& store : dump["stores"]) {
        for (const Json& folder : store["folders"]) {
            for (Json m : folder["messages"]) {
                m.erase("entryid");
                for (const char* text :
                     {"subject_prefix", "subject", "sender_name", "sender_email", "message_class", "service_name"}) {
                    if (m[text].is_null()) m[text] = "";
                }
                for (const char* number : {"msg_status", "message_size", "content_length", "message_flags",
                                           "delivery_time", "last_modification_time"}) {
                    if (m[number].is_null()) m[number] = 0;
                }
                all.push_back(folder["path"].get<std::string>() + " " + m.dump());
            }
        }
    }
    std::sort(all.begin(), all.end());
    return all;
}

std::multiset<std::string> StoreIds(const Json& dump) {
    std::multiset<std::string> ids;
    for (const Json& store : dump["stores"]) {
        for (const Json& folder : store["folders"]) {
            for (const Json& m : folder["messages"]) ids.insert(m["entryid"].get<std::string>());
        }
    }
    return ids;
}

// The identifiers of a list file (28-byte entries), in hex; `allPresent` tells whether every
// present-flag is 1.
std::multiset<std::string> ListIds(const fs::path& file, bool* allPresent = nullptr) {
    const std::string bytes = ReadHostFile(file);
    std::multiset<std::string> ids;
    if (allPresent) *allPresent = true;
    static const char digits[] = "0123456789abcdef";
    for (std::size_t at = 0; at + 28 <= bytes.size(); at += 28) {
        std::string hex;
        for (std::size_t i = 0; i < 20; ++i) {
            const auto b = static_cast<unsigned char>(bytes[at + i]);
            hex += digits[b >> 4];
            hex += digits[b & 0xF];
        }
        ids.insert(hex);
        if (allPresent && bytes[at + 24] != 1) *allPresent = false;
    }
    return ids;
}

// The export tree: per directory the contents of its message texts and of its other files. A
// message's text begins with its "From: " line; an attachment may be a .txt file too (an MMS's
// text part), and counts with the other files.
struct Tree {
    std::map<std::string, std::multiset<std::string>> texts, others;
    std::vector<std::string> unfinished;
};

Tree ReadTree(const fs::path& root) {
    Tree tree;
    if (!fs::exists(root)) return tree;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (!entry.is_regular_file()) continue;
        const std::string dir = fs::relative(entry.path().parent_path(), root).generic_string();
        const std::string name = entry.path().filename().string();
        if (dir == "." && name == "Messages.ndx") continue;
        if (name.size() > 4 && name.substr(name.size() - 4) == ".new") {
            tree.unfinished.push_back(dir + "/" + name);
        } else if (std::string bytes = ReadHostFile(entry.path());
                   name.size() > 4 && name.substr(name.size() - 4) == ".txt" && bytes.starts_with("From: ")) {
            tree.texts[dir].insert(std::move(bytes));
        } else {
            tree.others[dir].insert(std::move(bytes));
        }
    }
    return tree;
}

// What `actual` has beyond `expected`. Where it lacks something, or holds something of no
// message, `wrong` says where (the first such place).
std::vector<std::string> Beyond(const std::map<std::string, std::multiset<std::string>>& expected,
                                const std::map<std::string, std::multiset<std::string>>& actual, std::string* wrong) {
    const auto note = [&](const std::string& what, const std::string& dir, const std::string& bytes) {
        if (wrong->empty()) *wrong = what + " in " + dir + " (" + std::to_string(bytes.size()) + " bytes)";
    };
    std::vector<std::string> extra;
    for (const auto& [dir, want] : expected) {
        auto have = actual.count(dir) ? actual.at(dir) : std::multiset<std::string>();
        for (const std::string& w : want) {
            auto it = have.find(w);
            if (it == have.end()) {
                note("missing or cut short", dir, w);
            } else {
                have.erase(it);
            }
        }
        for (const std::string& h : have) {
            if (want.count(h) == 0) note("foreign", dir, h);  // not a copy of one of its own
            extra.push_back(h);
        }
    }
    for (const auto& [dir, have] : actual) {
        if (expected.count(dir) == 0 && !have.empty()) note("foreign", dir, *have.begin());
    }
    return extra;
}

class CrashCampaign : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // In memory where there is a memory file system: hundreds of devices are copied, run and
        // thrown away, and the disk would only add its waits.
        if (std::getenv("TMPDIR") == nullptr && fs::is_directory("/dev/shm") && ::access("/dev/shm", W_OK) == 0) {
            ::setenv("TMPDIR", "/dev/shm", 1);
        }
        base_ = testing_support::MakeTempDir("tallymere-crash-");
        seeded_ = base_ / "seeded";
        ASSERT_EQ(Cli(seeded_, {"device", "seed", "--messages", std::to_string(kMessages), "--seed", "11"}).status, 0);
        ASSERT_EQ(Cli(seeded_, {"start"}).status, 0);
        original_ = Dump(seeded_);
        ASSERT_EQ(StoreIds(original_).size(), static_cast<std::size_t>(kMessages));

        // The reference export, and the time each command takes when nothing interrupts it.
        const fs::path reference = base_ / "reference";
        fs::copy(seeded_, reference, fs::copy_options::recursive);
        auto timed = [&](const fs::path& device, std::vector<std::string> args) {
            const auto start = std::chrono::steady_clock::now();
            const CliResult r = Cli(device, args);
            EXPECT_EQ(r.status, 0) << r.err;
            return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
        };
        exportTime_ = timed(reference, {"export-all"});
        referenceTree_ = ReadTree(reference / kOutput / "Tallyport");
        backupTime_ = timed(reference, {"backup-all"});
        referenceData_ = ReadHostFile(reference / kOutput / "Tallymere/Messages.dat");

        // An archive with dead bytes before every third record, for compact.
        spaced_ = base_ / "spaced";
        fs::copy(reference, spaced_, fs::copy_options::recursive);
        SpaceOut(spaced_ / kOutput / "Tallymere");
        compactTime_ = [&] {
            const fs::path timing = base_ / "compact-timing";
            fs::copy(spaced_, timing, fs::copy_options::recursive);
            return timed(timing, {"compact"});
        }();

        // A phone that lost its store: the archive of every message, a new empty store.
        restoreFrom_ = base_ / "restore-from";
        fs::copy(reference, restoreFrom_, fs::copy_options::recursive);
        for (const char* file : {"messages.db", "messages.db-wal", "messages.db-shm"}) {
            fs::remove(restoreFrom_ / ".platform" / file);
        }
        const fs::path timing = base_ / "restore-timing";
        fs::copy(restoreFrom_, timing, fs::copy_options::recursive);
        restoreTime_ = timed(timing, {"restore", "extra", "--yes"});
        ASSERT_EQ(Contents(Dump(timing)), Contents(original_));
    }
    static void TearDownTestSuite() { fs::remove_all(base_); }

    void TearDown() override { fs::remove_all(trial_); }

    // A fresh copy of a template for the next trial.
    const fs::path& Fresh(const fs::path& from) {
        fs::remove_all(trial_);
        trial_ = base_ / "trial";
        fs::copy(from, trial_, fs::copy_options::recursive);
        return trial_;
    }

    // Keeps the device of a failing trial for a look (beside the campaign's folder) and says where.
    std::string Keep(const std::string& trial) {
        const fs::path kept = base_.parent_path() / (base_.filename().string() + "-" + trial);
        fs::remove_all(kept);
        fs::copy(trial_, kept, fs::copy_options::recursive);
        return "\n  device kept in " + kept.string();
    }

    // Each check returns what is wrong, or "".
    static std::string BackupOutcome(const fs::path& device) {
        const CliResult check = Cli(device, {"check"});
        if (check.status != 0) return "check: " + check.out;
        bool allPresent = false;
        const auto indexed = ListIds(device / kOutput / "Tallymere/Messages.ndx", &allPresent);
        if (indexed != StoreIds(Dump(device))) return "the index does not name every message exactly once";
        if (!allPresent) return "an entry of a message in the store is not present";
        return "";
    }

    static std::string RestoreOutcome(const fs::path& device, bool backupAfterwards) {
        const Json now = Dump(device);
        const auto contents = Contents(now);
        if (contents != Contents(original_)) {
            return "the store holds " + std::to_string(contents.size()) + " messages, not the " +
                   std::to_string(kMessages) + " archived ones exactly once";
        }
        const CliResult check = Cli(device, {"check"});
        if (check.status != 0) return "check: " + check.out;
        if (ListIds(device / kOutput / "Tallymere/Messages.ndx") != StoreIds(now)) {
            return "the index does not name the restored messages";
        }
        if (backupAfterwards) {
            const CliResult backup = Cli(device, {"backup-all"});
            if (backup.out != "Message backup was successfull. (0 messages)\n")
                return "backup afterwards: " + backup.out;
        }
        return "";
    }

    static std::string ExportOutcome(const fs::path& device, bool mayRepeatOne) {
        const Tree tree = ReadTree(device / kOutput / "Tallyport");
        if (!tree.unfinished.empty()) return "unfinished file left: " + tree.unfinished.front();
        std::string wrong;
        const auto extraTexts = Beyond(referenceTree_.texts, tree.texts, &wrong);
        const auto extraOthers = Beyond(referenceTree_.others, tree.others, &wrong);
        if (!wrong.empty()) return "a message's text or file: " + wrong;
        if (extraTexts.size() > (mayRepeatOne ? 1u : 0u)) {
            return std::to_string(extraTexts.size()) + " messages exported twice";
        }
        if (!extraOthers.empty() && extraTexts.empty()) return "attachments written twice";
        if (ListIds(device / kOutput / "Tallyport/Messages.ndx") != StoreIds(Dump(device))) {
            return "the export list does not name every message exactly once";
        }
        return "";
    }

    // Puts dead bytes before every third record of the archive in `dir` and moves the index's
    // offsets along.
    static void SpaceOut(const fs::path& dir) {
        const std::string data = ReadHostFile(dir / "Messages.dat");
        std::string index = ReadHostFile(dir / "Messages.ndx");
        const auto offsetOf = [&](std::size_t e) {
            std::uint32_t v = 0;
            for (int b = 3; b >= 0; --b) v = (v << 8) | static_cast<unsigned char>(index[e * 28 + 20 + b]);
            return v;
        };
        std::map<std::uint32_t, std::uint32_t> moved;
        for (std::size_t e = 0; e * 28 < index.size(); ++e) moved.emplace(offsetOf(e), 0);
        std::string spaced;
        std::uint32_t k = 0, previous = 0;
        for (auto& [offset, to] : moved) {
            spaced += data.substr(previous, offset - previous);
            if (k++ % 3 == 0) spaced += std::string(37, '\x5a');
            to = static_cast<std::uint32_t>(spaced.size());
            previous = offset;
        }
        spaced += data.substr(previous);
        for (std::size_t e = 0; e * 28 < index.size(); ++e) {
            const std::uint32_t to = moved.at(offsetOf(e));
            for (int b = 0; b < 4; ++b) index[e * 28 + 20 + b] = static_cast<char>((to >> (8 * b)) & 0xFF);
        }
        std::ofstream(dir / "Messages.dat", std::ios::binary | std::ios::trunc) << spaced;
        std::ofstream(dir / "Messages.ndx", std::ios::binary | std::ios::trunc) << index;
    }

    static Json CheckJson(const fs::path& device) {
        const CliResult r = Cli(device, {"check", "--json"});
        const Json j = Json::parse(r.out, nullptr, false);
        return j.is_object() ? j : Json::object();
    }

    static inline fs::path base_, seeded_, restoreFrom_, spaced_;
    static inline std::string referenceData_;
    static inline std::chrono::microseconds compactTime_{};
    static inline Json original_;
    static inline Tree referenceTree_;
    static inline std::chrono::microseconds backupTime_{}, exportTime_{}, restoreTime_{};
    fs::path trial_;
};

// A command and the operations it reaches, each with about how often it calls it (so that a
// call number drawn for the crash form or a fault falls inside the run).
struct Command {
    std::vector<std::string> args;
    std::vector<std::pair<const char*, int>> ops;
};

constexpr int M = kMessages;

Command BackupCommand() {
    return {{"backup-all"},
            {{"CoInitializeEx", 1},
             {"MAPIInitialize", 1},
             {"RegQueryValueEx", 4},
             {"CreateDirectoryW", 2},
             {"MAPILogonEx", 1},
             {"GetMsgStoresTable", 1},
             {"SetColumns", M},
             {"QueryRows", 3 * M},
             {"OpenMsgStore", 1},
             {"GetProps", M},
             {"OpenEntry", M},
             {"GetHierarchyTable", 8},
             {"GetContentsTable", 8},
             {"OpenProperty", M},
             {"Read", M},
             {"GetAttachmentTable", M},
             {"OpenAttach", M / 4},
             {"_wfopen", 12},
             {"fwrite", M},
             {"fseek", M},
             {"fsync", 8},
             {"MoveFileW", 8},
             {"Logoff", 1}}};
}

Command RestoreCommand() {
    return {{"restore", "extra", "--yes"}, {{"CoInitializeEx", 1}, {"MAPIInitialize", 1},   {"RegQueryValueEx", 4},
                                            {"MAPILogonEx", 1},    {"OpenEntry", 2 * M},    {"GetMsgStoresTable", 2},
                                            {"SetColumns", 2},     {"QueryRows", 4},        {"OpenMsgStore", 2},
                                            {"CreateFolder", 8},   {"GetProps", 2 * M},     {"CreateMessage", M},
                                            {"SetProps", M},       {"ModifyRecipients", M}, {"OpenProperty", M},
                                            {"Write", M},          {"CreateAttach", M / 4}, {"SaveChanges", M},
                                            {"_wfopen", 4},        {"fwrite", 2 * M},       {"fseek", 3 * M},
                                            {"fsync", 2},          {"MoveFileW", 2},        {"Logoff", 1}}};
}

Command ExportCommand() {
    return {{"export-all"}, {{"CoInitializeEx", 1},     {"MAPIInitialize", 1}, {"RegQueryValueEx", 4},
                             {"CreateDirectoryW", 10},  {"MAPILogonEx", 1},    {"GetMsgStoresTable", 1},
                             {"SetColumns", M},         {"QueryRows", 3 * M},  {"OpenMsgStore", 1},
                             {"GetProps", M},           {"OpenEntry", M},      {"GetHierarchyTable", 8},
                             {"GetContentsTable", 8},   {"OpenProperty", M},   {"Read", M},
                             {"GetAttachmentTable", M}, {"OpenAttach", M / 4}, {"_wfopen", 2 * M},
                             {"fwrite", 2 * M},         {"fseek", M},          {"fsync", 1},
                             {"MoveFileW", M},          {"Logoff", 1}}};
}

class Trials : public CrashCampaign {
protected:
    // Kill trials: half by SIGKILL at a random moment, half by the crash form at a random call.
    // `afterKill`, when given, checks the device as the kill left it, before the recovery.
    void Kill(const std::string& test, Command command, const fs::path& from, std::chrono::microseconds time,
              int trials, const std::function<std::string(const fs::path&)>& outcome, bool repairSometimes,
              const std::function<std::string(const fs::path&)>& afterKill = {}) {
        int killed = 0, crashed = 0;
        for (int n = 0; n < Scaled(trials); ++n) {
            if (!Selected(test, n)) continue;
            std::mt19937_64 random(CampaignSeed() * 1000003 + std::hash<std::string>()(test) + n);
            const fs::path& device = Fresh(from);
            std::string what;
            int status = 0;
            if (n % 2 == 0) {
                // Anywhere in the run (which begins after the process has started).
                const auto delay = std::chrono::microseconds(time.count() / 10 + random() % (time.count() + 1));
                what = "kill -9 after " + std::to_string(delay.count()) + " us";
                status = RunKilled(device, command.args, delay);
                killed += status == 128 + SIGKILL;
                if (status != 0 && status != 128 + SIGKILL) ADD_FAILURE() << test << "#" << n << ": status " << status;
            } else {
                const auto& [op, calls] = command.ops[random() % command.ops.size()];
                const std::string plan = std::string(op) + ":" + std::to_string(1 + random() % calls) + "!";
                what = "crash at " + plan;
                status = Cli(device, command.args, plan).status;
                crashed += status == 86;
                if (status != 0 && status != 86)
                    ADD_FAILURE() << test << "#" << n << " (" << what << "): status " << status;
            }
            if (afterKill) {
                if (const std::string wrong = afterKill(device); !wrong.empty()) {
                    ADD_FAILURE() << test << "#" << n << " (" << what << "), before the recovery: " << wrong
                                  << Keep(test + "-" + std::to_string(n) + "-killed");
                }
            }
            if (repairSometimes && random() % 3 == 0) {
                what += ", check --repair";
                const CliResult repair = Cli(device, {"check", "--repair"});
                if (repair.status != 0) ADD_FAILURE() << test << "#" << n << " (" << what << "): " << repair.out;
            }
            const CliResult again = Cli(device, command.args);
            std::string wrong = again.status == 0 ? outcome(device) : "the rerun failed: " + again.err;
            if (!wrong.empty()) {
                ADD_FAILURE() << test << "#" << n << " (" << what << "): " << wrong
                              << "\n  reproduce: TALLYMERE_CRASH_SEED=" << CampaignSeed()
                              << " TALLYMERE_CRASH_TRIAL=" << test << "#" << n << Keep(test + "-" + std::to_string(n));
            }
        }
        std::printf("%s: %d trials, %d killed mid-run, %d crashed by the fault plan\n", test.c_str(), Scaled(trials),
                    killed, crashed);
    }

    // Fault trials: every operation at a small and at a random larger call number, and a medium
    // that fills up (every write from some point on fails).
    void Faults(const std::string& test, Command command, const fs::path& from,
                const std::function<std::string(const fs::path&, bool interrupted)>& outcome) {
        std::vector<std::string> plans;
        std::mt19937_64 random(CampaignSeed() * 7919 + std::hash<std::string>()(test));
        for (const auto& [op, calls] : command.ops) {
            plans.push_back(std::string(op) + ":" + std::to_string(1 + random() % std::min(calls, 3)));
            if (calls > 3) plans.push_back(std::string(op) + ":" + std::to_string(4 + random() % (calls - 3)));
        }
        for (int i = 0; i < 3; ++i) plans.push_back("fwrite:" + std::to_string(1 + random() % kMessages) + "+");
        const int count = std::min<int>(static_cast<int>(plans.size()), Scaled(static_cast<int>(plans.size())));
        int failed = 0;
        for (int n = 0; n < count; ++n) {
            // A scaled-down campaign takes a spread of the plans.
            const std::string& plan = plans[static_cast<std::size_t>(n) * plans.size() / count];
            if (!Selected(test, n)) continue;
            const fs::path& device = Fresh(from);
            const CliResult run = Cli(device, command.args, plan);
            std::string wrong;
            if (run.status == 0) {
                wrong = outcome(device, false);
                if (!wrong.empty()) wrong = "ended with status 0, but " + wrong;
            } else if (run.status != 1 || run.err.empty()) {
                wrong = "ended with status " + std::to_string(run.status) + ": " + run.err;
            } else {
                ++failed;
                const CliResult again = Cli(device, command.args);
                wrong = again.status == 0 ? outcome(device, true) : "the rerun failed: " + again.err;
            }
            if (!wrong.empty()) {
                ADD_FAILURE() << test << "#" << n << " (" << plan << "): " << wrong
                              << "\n  reproduce: TALLYMERE_CRASH_SEED=" << CampaignSeed()
                              << " TALLYMERE_CRASH_TRIAL=" << test << "#" << n << Keep(test + "-" + std::to_string(n));
            }
        }
        std::printf("%s: %d trials, %d failed and were recovered\n", test.c_str(), count, failed);
    }
};

TEST_F(Trials, BackupKilled) { Kill("BackupKilled", BackupCommand(), seeded_, backupTime_, 34, BackupOutcome, true); }

TEST_F(Trials, RestoreKilled) {
    Kill(
        "RestoreKilled", RestoreCommand(), restoreFrom_, restoreTime_, 34,
        [](const fs::path& d) { return RestoreOutcome(d, true); }, false);
}

TEST_F(Trials, ExportKilled) {
    Kill(
        "ExportKilled", ExportCommand(), seeded_, exportTime_, 34,
        [](const fs::path& d) { return ExportOutcome(d, true); }, false);
}

// A killed backup resumes: the rerun appends only what the killed pass had not appended (less
// the one whole record it may have left beyond the index, which the rerun indexes), and leaves
// Messages.dat holding each message's record once and nothing else.
TEST_F(Trials, BackupKilledResumes) {
    const Command command = BackupCommand();
    int trials = 0;
    for (int n = 0; n < Scaled(24); ++n) {
        if (!Selected("BackupKilledResumes", n)) continue;
        ++trials;
        std::mt19937_64 random(CampaignSeed() * 1000003 + n);
        const fs::path& device = Fresh(seeded_);
        std::string what;
        if (n % 2 == 0) {
            const auto delay =
                std::chrono::microseconds(backupTime_.count() / 10 + random() % (backupTime_.count() + 1));
            what = "kill -9 after " + std::to_string(delay.count()) + " us";
            RunKilled(device, command.args, delay);
        } else {
            const char* ops[] = {"fwrite", "fsync", "MoveFileW", "_wfopen"};
            const std::string plan =
                std::string(ops[random() % 4]) + ":" + std::to_string(1 + random() % (2 * M)) + "!";
            what = "crash at " + plan;
            Cli(device, command.args, plan);
        }
        const std::size_t indexed = ListIds(device / kOutput / "Tallymere/Messages.ndx").size();
        const Json afterKill = CheckJson(device);
        std::string wrong;
        // At most one whole record beyond the index; a cut-off one is no problem.
        const bool oneWhole = afterKill["problems"].size() == 1 &&
                              afterKill["problems"][0].get<std::string>().find("Messages.dat: 1 intact records") == 0;
        if (afterKill["sound"] != true && !oneWhole) wrong = "after the kill: " + afterKill.dump();
        const CliResult again = Cli(device, {"backup-all", "--json"});
        const Json result = Json::parse(again.out, nullptr, false);
        const int count = result.is_object() && result.contains("count") ? result["count"].get<int>() : -1;
        const int expected = M - static_cast<int>(indexed) - (oneWhole ? 1 : 0);
        if (wrong.empty() && count != expected) {
            wrong = "the rerun appended " + std::to_string(count) + " messages after " + std::to_string(indexed) +
                    " indexed, not " + std::to_string(expected);
        }
        if (wrong.empty()) wrong = BackupOutcome(device);
        if (wrong.empty() &&
            ReadHostFile(device / kOutput / "Tallymere/Messages.dat").size() != referenceData_.size()) {
            wrong = "Messages.dat holds bytes beyond one record per message: " + CheckJson(device).dump();
        }
        if (!wrong.empty()) {
            ADD_FAILURE() << "BackupKilledResumes#" << n << " (" << what << "): " << wrong
                          << "\n  reproduce: TALLYMERE_CRASH_SEED=" << CampaignSeed()
                          << " TALLYMERE_CRASH_TRIAL=BackupKilledResumes#" << n
                          << Keep("BackupKilledResumes-" + std::to_string(n));
        }
    }
    std::printf("BackupKilledResumes: %d trials\n", trials);
}

// A killed compact leaves the old archive or the compacted one, both sound; the rerun compacts.
TEST_F(Trials, CompactKilled) {
    const std::string before = ReadHostFile(spaced_ / kOutput / "Tallymere/Messages.dat");
    const Command compact{{"compact"},
                          {{"_wfopen", 8},
                           {"fwrite", M},
                           {"fsync", 3},
                           {"CreateDirectoryW", 1},
                           {"ExchangePaths", 1},
                           {"RegQueryValueEx", 4}}};
    Kill(
        "CompactKilled", compact, spaced_, compactTime_, 24,
        [&](const fs::path& d) -> std::string {
            const std::string data = ReadHostFile(d / kOutput / "Tallymere/Messages.dat");
            if (data != referenceData_) return "the rerun did not compact: " + CheckJson(d).dump();
            if (fs::exists(d / kOutput / "Tallymere.compact")) return "the copy was left beside the archive";
            return BackupOutcome(d);
        },
        false,
        [&](const fs::path& d) -> std::string {
            const std::string data = ReadHostFile(d / kOutput / "Tallymere/Messages.dat");
            if (data != before && data != referenceData_) return "Messages.dat is neither the old nor the new one";
            const Json check = CheckJson(d);
            if (check["sound"] != true) return "not sound after the kill: " + check.dump();
            return BackupOutcome(d);
        });
}

// Mended: a restore switched the archive to the re-created messages' new identifiers but not the
// export list, so the next export wrote them all again.
TEST_F(Trials, RestoreKilledThenExported) {
    Kill(
        "RestoreKilledThenExported", RestoreCommand(), restoreFrom_, restoreTime_, 16,
        [](const fs::path& d) -> std::string {
            std::string wrong = RestoreOutcome(d, false);
            if (!wrong.empty()) return wrong;
            const CliResult exported = Cli(d, {"export-all"});
            if (exported.out != "0 messages exported successfully.\n") return "export afterwards: " + exported.out;
            return "";
        },
        false);
}

TEST_F(Trials, BackupFaults) {
    Faults("BackupFaults", BackupCommand(), seeded_, [](const fs::path& d, bool) { return BackupOutcome(d); });
}

TEST_F(Trials, RestoreFaults) {
    Faults("RestoreFaults", RestoreCommand(), restoreFrom_,
           [](const fs::path& d, bool) { return RestoreOutcome(d, false); });
}

TEST_F(Trials, ExportFaults) {
    Faults("ExportFaults", ExportCommand(), seeded_,
           [](const fs::path& d, bool interrupted) { return ExportOutcome(d, interrupted); });
}

}  // namespace
