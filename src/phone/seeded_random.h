// A small random generator whose sequence is the same on every platform (splitmix64), for the
// phone's made-up messages (device seed) and the benchmarks' generated backup files: the same
// seed gives the same messages everywhere.
#pragma once

#include <cstddef>
#include <cstdint>

namespace phone {

class SeededRandom {
public:
    explicit SeededRandom(std::uint64_t seed) : state_(seed) {}
    std::uint64_t Next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::uint32_t Below(std::uint32_t n) { return static_cast<std::uint32_t>(Next() % n); }
    bool Percent(std::uint32_t p) { return Below(100) < p; }
    template <class T, std::size_t N>
    const T& Pick(const T (&items)[N]) {
        return items[Below(N)];
    }

private:
    std::uint64_t state_;
};

}  // namespace phone
