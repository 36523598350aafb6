// Fuzz target: backup files as `device import` reads them, without a store. The byte filters
// must give the same result however the stream is cut into chunks, and the reader and the
// conversion of its elements into messages must take any input without failing.
//
//     build/fuzz/fuzz/import_fuzz /tmp/corpus tests/data/import -max_total_time=300
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "phone/char_refs.h"
#include "phone/device_import.h"
#include "phone/part_data.h"
#include "phone/sms_backup.h"

namespace {

using namespace phone;

struct Filtered {
    std::string text;
    std::vector<std::vector<std::uint8_t>> values;
    std::vector<bool> valid;
};

// Both filters over `input` cut at `cuts`.
Filtered Filter(std::string_view input, const std::vector<std::size_t>& cuts) {
    PartDataExtractor extractor;
    CharRefFixer fixer;
    Filtered out;
    std::size_t from = 0;
    for (std::size_t i = 0; i <= cuts.size(); ++i) {
        const std::size_t to = i < cuts.size() ? cuts[i] : input.size();
        std::string extracted;
        extractor.Feed(input.substr(from, to - from), extracted);
        fixer.Feed(extracted, out.text);
        from = to;
    }
    fixer.Finish(out.text);
    PartDataExtractor::Value value;
    while (extractor.Take(&value)) {
        out.values.push_back(value.bytes);
        out.valid.push_back(value.valid);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    if (size > 1) {
        const Filtered whole = Filter(input, {});
        std::vector<std::size_t> cuts;
        for (std::size_t at = data[0] % size; at < size && cuts.size() < 8; at += 1 + data[at] % 17) cuts.push_back(at);
        const Filtered cut = Filter(input, cuts);
        if (cut.text != whole.text || cut.values != whole.values || cut.valid != whole.valid) __builtin_trap();
    }
    if (size == 0) return 0;
    std::FILE* file = ::fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
    if (file == nullptr) return 0;
    SmsBackupReader::Read(file, [](BackupElement& element) {
        ConvertElement(element);
        return std::string();
    });
    std::fclose(file);
    return 0;
}
