// Fault plan: lets tests make the n-th call of a named platform operation fail.
//
// Every platform operation that can fail asks `Hit("Name")` once per call; when the plan says
// that this call (counted from 1 per operation name) must fail, the operation fails exactly as
// the real platform call would. Plans come from code (`Plan`) or, at the first use, from the
// environment variable TALLYMERE_FAULTS: a comma-separated list of NAME:N entries, for example
// "GetHierarchyTable:1,fwrite:3". "NAME:N+" fails the n-th call and every later one;
// "NAME:N!" ends the process at once at the n-th call, as a power cut or a kill would (exit
// status kCrashStatus, no exit handlers), so that tests can check what survives a crash.
// The entry "quick" makes retries skip their pauses (QuickRetries). "NAME~MS" fails nothing but
// makes every call of NAME take MS milliseconds longer (1 to 60000), so that tests can catch a
// long pass in its middle however fast the machine runs it ("OpenEntry~2" paces a walk).
// The entry "instant" makes the program's fixed waits (the automatic export's pause) skip.
//
// TALLYMERE_FAULT_TALLY=FILE counts every call of every named operation and writes the counts
// to FILE ("NAME COUNT" lines) when the process exits normally, so that a test learns which
// operations a command reaches and how often, and can then fail each of them at any call.
#pragma once

#include <string_view>

namespace platform::faults {

// The exit status of a process ended by a planned crash.
constexpr int kCrashStatus = 86;

// Counts one call of `operation` and tells whether it must fail.
bool Hit(std::string_view operation);

// Makes call number `nth` (1-based) of `operation` fail; with `andLater`, every call from it on.
void Plan(std::string_view operation, int nth, bool andLater = false);

// Makes the process end abruptly at call number `nth` of `operation`.
void PlanCrash(std::string_view operation, int nth);

// Forgets every plan and every count; the environment is read again at the next use.
void Reset();

// Whether the program's waiting retries (the file-open retry of MyCreateFile) run without their
// pauses: tests that make opens fail on purpose need not sleep through them. Set by the entry
// "quick" in TALLYMERE_FAULTS ("quick,_wfopen:3") or by SetQuickRetries, which Reset keeps.
bool QuickRetries();
void SetQuickRetries(bool quick);

// Whether the program's fixed waits are skipped (the entry "instant").
bool NoWaits();

}  // namespace platform::faults
