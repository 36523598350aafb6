// "did you mean backup-all?": the known name nearest to a word the command line did not know.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

// The candidate nearest to `word`: one that begins with it (the word cut short, "backup-a"),
// or that differs from it in few letters (typed, left out, doubled or swapped: at most one
// such slip for short names, two for names of seven letters or more). Nothing when no
// candidate is that near; the first of equally near ones.
std::optional<std::string> NearestName(std::string_view word, const std::vector<std::string>& candidates);

// The number of single-letter insertions, deletions, substitutions and swaps of neighbours
// that turn `a` into `b`.
std::size_t EditDistance(std::string_view a, std::string_view b);

}  // namespace cli
