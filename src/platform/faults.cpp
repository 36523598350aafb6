#include "platform/faults.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace platform::faults {

namespace {

struct Rule {
    int nth;
    bool andLater;
    bool crash = false;
};

struct State {
    std::mutex mutex;
    bool envRead = false;
    bool envQuick = false;
    bool codeQuick = false;
    bool envInstant = false;
    std::string tallyFile;  // where every call's count goes at exit; empty: none counted
    std::map<std::string, std::vector<Rule>, std::less<>> rules;
    std::map<std::string, int, std::less<>> counts;
    std::map<std::string, int, std::less<>> tally;   // every call of every operation
    std::map<std::string, int, std::less<>> pauses;  // operation -> milliseconds per call
};

State& TheState() {
    static State state;
    return state;
}

void WriteTally() {
    State& s = TheState();
    std::lock_guard lock(s.mutex);
    if (s.tallyFile.empty()) return;
    if (std::FILE* out = std::fopen(s.tallyFile.c_str(), "w")) {
        for (const auto& [name, count] : s.tally) std::fprintf(out, "%s %d\n", name.c_str(), count);
        std::fclose(out);
    }
}

void ParseEnvironment(State& s) {
    s.envRead = true;
    s.envQuick = false;
    s.envInstant = false;
    if (const char* tally = std::getenv("TALLYMERE_FAULT_TALLY"); tally != nullptr && *tally != '\0') {
        static const bool registered = std::atexit(WriteTally) == 0;
        (void)registered;
        s.tallyFile = tally;
    }
    const char* env = std::getenv("TALLYMERE_FAULTS");
    if (env == nullptr) return;
    std::string_view text(env);
    while (!text.empty()) {
        auto comma = text.find(',');
        std::string_view item = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
        if (item == "quick") s.envQuick = true;
        if (item == "instant") s.envInstant = true;
        if (auto tilde = item.rfind('~'); tilde != std::string_view::npos && tilde > 0) {
            const std::string number(item.substr(tilde + 1));
            char* endp = nullptr;
            const long ms = std::strtol(number.c_str(), &endp, 10);
            if (!number.empty() && *endp == '\0' && ms > 0 && ms <= 60'000)
                s.pauses[std::string(item.substr(0, tilde))] = static_cast<int>(ms);
            continue;
        }
        auto colon = item.rfind(':');
        if (colon == std::string_view::npos || colon == 0) continue;
        std::string number(item.substr(colon + 1));
        bool andLater = !number.empty() && number.back() == '+';
        bool crash = !number.empty() && number.back() == '!';
        if (andLater || crash) number.pop_back();
        char* endp = nullptr;
        long nth = std::strtol(number.c_str(), &endp, 10);
        if (number.empty() || *endp != '\0' || nth < 1) continue;
        s.rules[std::string(item.substr(0, colon))].push_back({static_cast<int>(nth), andLater, crash});
    }
}

}  // namespace

bool Hit(std::string_view operation) {
    State& s = TheState();
    std::unique_lock lock(s.mutex);
    if (!s.envRead) ParseEnvironment(s);
    if (!s.pauses.empty()) {
        if (auto pause = s.pauses.find(operation); pause != s.pauses.end()) {
            const int ms = pause->second;
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            lock.lock();
        }
    }
    if (!s.tallyFile.empty()) ++s.tally[std::string(operation)];
    if (s.rules.empty()) return false;
    auto rule = s.rules.find(operation);
    if (rule == s.rules.end()) return false;
    auto count = s.counts.find(operation);
    if (count == s.counts.end()) count = s.counts.emplace(std::string(operation), 0).first;
    int call = ++count->second;
    for (const Rule& r : rule->second) {
        if (r.crash && call == r.nth) std::_Exit(kCrashStatus);
        if (call == r.nth || (r.andLater && call > r.nth)) return true;
    }
    return false;
}

void Plan(std::string_view operation, int nth, bool andLater) {
    State& s = TheState();
    std::lock_guard lock(s.mutex);
    if (!s.envRead) ParseEnvironment(s);
    s.rules[std::string(operation)].push_back({nth, andLater});
}

void PlanCrash(std::string_view operation, int nth) {
    State& s = TheState();
    std::lock_guard lock(s.mutex);
    if (!s.envRead) ParseEnvironment(s);
    s.rules[std::string(operation)].push_back({nth, false, true});
}

bool QuickRetries() {
    State& s = TheState();
    std::lock_guard lock(s.mutex);
    if (!s.envRead) ParseEnvironment(s);
    return s.codeQuick || s.envQuick;
}

bool NoWaits() {
    State& s = TheState();
    std::lock_guard lock(s.mutex);
    if (!s.envRead) ParseEnvironment(s);
    return s.envInstant;
}

void SetQuickRetries(bool quick) {
    State& s = TheState();
    std::lock_guard lock(s.mutex);
    s.codeQuick = quick;
}

void Reset() {
    State& s = TheState();
    std::lock_guard lock(s.mutex);
    s.envRead = false;
    s.rules.clear();
    s.counts.clear();
    s.pauses.clear();
    s.tally.clear();
}

}  // namespace platform::faults
