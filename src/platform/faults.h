// Fault plan: lets tests make the n-th call of a named platform operation fail.
//
// Every platform operation that can fail asks `Hit("Name")` once per call; when the plan says
// that this call (counted from 1 per operation name) must fail, the operation fails exactly as
// the real platform call would. Plans come from code (`Plan`) or, at the first use, from the
// environment variable TALLYMERE_FAULTS: a comma-separated list of NAME:N entries, for example
// "GetHierarchyTable:1,fwrite:3". "NAME:N+" fails the n-th call and every later one.
#pragma once

#include <string_view>

namespace platform::faults {

// Counts one call of `operation` and tells whether it must fail.
bool Hit(std::string_view operation);

// Makes call number `nth` (1-based) of `operation` fail; with `andLater`, every call from it on.
void Plan(std::string_view operation, int nth, bool andLater = false);

// Forgets every plan and every count (the environment is not read again).
void Reset();

}  // namespace platform::faults
