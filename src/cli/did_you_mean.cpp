#include "cli/did_you_mean.h"

#include <algorithm>

namespace cli {

std::size_t EditDistance(std::string_view a, std::string_view b) {
    // Three rows of the table suffice for swaps of neighbours.
    std::vector<std::size_t> before(b.size() + 1), previous(b.size() + 1), current(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) previous[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        current[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            current[j] = std::min({previous[j] + 1, current[j - 1] + 1, previous[j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                current[j] = std::min(current[j], before[j - 2] + 1);
            }
        }
        std::swap(before, previous);
        std::swap(previous, current);
    }
    return previous[b.size()];
}

std::optional<std::string> NearestName(std::string_view word, const std::vector<std::string>& candidates) {
    if (word.empty()) return std::nullopt;
    // A name cut short names the first name it begins (when it is not a mere letter or two).
    if (word.size() >= 3) {
        for (const std::string& name : candidates) {
            if (name.size() > word.size() && name.compare(0, word.size(), word) == 0) return name;
        }
    }
    std::optional<std::string> best;
    std::size_t bestDistance = 0;
    for (const std::string& name : candidates) {
        const std::size_t allowed = name.size() >= 7 ? 2 : 1;
        const std::size_t distance = EditDistance(word, name);
        if (distance == 0 || distance > allowed) continue;
        if (!best || distance < bestDistance) {
            best = name;
            bestDistance = distance;
        }
    }
    return best;
}

}  // namespace cli
