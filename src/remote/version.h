// The version both programs print for --version: "Tallymere 2.2" and the commit the build
// was made from ("unknown" when it was not built from a git checkout).
#pragma once

#include <string>

namespace remote {

extern const char* const kRelease;  // "2.2"
extern const char* const kCommit;   // the abbreviated commit, or "unknown"

// "Tallymere 2.2 (commit 0123456789ab)".
std::string VersionLine();

}  // namespace remote
