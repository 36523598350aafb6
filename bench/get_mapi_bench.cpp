// Reading stored messages into message records (qMsg::GetMAPI) on a device seeded with
// 10,000 realistic messages. Target: at most 50 µs per message.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/qmsg.h"
#include "phone/device_seed.h"
#include "platform/device.h"
#include "store/session.h"

namespace {

namespace mapi = platform::mapi;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kMessages = 10000;

// A device seeded with kMessages messages: a temporary one, or the device folder named by
// $TALLYMERE_BENCH_DEVICE, seeded there on first use and kept (to profile the reading alone).
struct Seeded {
    std::filesystem::path folder;
    bool keep = false;
    std::vector<Bytes> ids;

    Seeded() {
        if (const char* given = std::getenv("TALLYMERE_BENCH_DEVICE"); given && *given) {
            folder = given;
            keep = true;
        } else {
            std::string pattern = (std::filesystem::temp_directory_path() / "tallymere-bench-XXXXXX").string();
            folder = ::mkdtemp(pattern.data());
        }
        std::string error;
        if (!platform::device::Mount(folder / "device", &error)) std::abort();
        {
            phone::Phone phone;
            if (!keep || !std::filesystem::exists(folder / "seeded")) {
                phone::Seed(phone, kMessages, 2008);
                if (keep) std::filesystem::create_directories(folder / "seeded");
            }
            for (const phone::Named& store : phone.Stores()) {
                phone.WalkFolders(store, [&](const std::u16string&, mapi::IMAPIFolder* f, int) {
                    for (Bytes& id : phone.Messages(f)) ids.push_back(std::move(id));
                });
            }
        }
        mapi::MAPIInitialize(nullptr);
    }
    ~Seeded() {
        mapi::MAPIUninitialize();
        platform::device::Unmount();
        std::error_code ec;
        if (!keep) std::filesystem::remove_all(folder, ec);
    }
};

Seeded& Device() {
    static Seeded seeded;
    return seeded;
}

// One message per iteration, going round all of them.
void BM_GetMAPI(benchmark::State& state) {
    Seeded& device = Device();
    mapi::Ptr<mapi::IMAPISession> session = tallymere::SessionLogon();
    std::size_t next = 0;
    for (auto _ : state) {
        const Bytes& id = device.ids[next++ % device.ids.size()];
        tallymere::qMsg msg(session.get(), static_cast<std::uint32_t>(id.size()), id.data());
        msg.GetMAPI();
        benchmark::DoNotOptimize(msg.bodySize);
    }
    state.counters["messages"] = static_cast<double>(device.ids.size());
    tallymere::SessionLogoff(std::move(session));
}
BENCHMARK(BM_GetMAPI)->Unit(benchmark::kMicrosecond);

// All 10,000 in one pass, as the all-messages walk reads them.
void BM_GetMAPIAll(benchmark::State& state) {
    Seeded& device = Device();
    mapi::Ptr<mapi::IMAPISession> session = tallymere::SessionLogon();
    for (auto _ : state) {
        for (const Bytes& id : device.ids) {
            tallymere::qMsg msg(session.get(), static_cast<std::uint32_t>(id.size()), id.data());
            msg.GetMAPI();
            benchmark::DoNotOptimize(msg.bodySize);
        }
    }
    // Seconds per message, shown as a time.
    state.counters["per_message"] =
        benchmark::Counter(static_cast<double>(device.ids.size()),
                           benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    tallymere::SessionLogoff(std::move(session));
}
BENCHMARK(BM_GetMAPIAll)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
