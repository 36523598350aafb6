// Fuzz target: backup files as `device import` reads them, without a store. The byte filters
// (encoding, lenient mending, media, character references, long values) must give the same
// result however the stream is cut into chunks, and the reader and the conversion of its
// elements into messages must take any input without failing. Values are taken out of the
// stream from a length the input chooses, so that short inputs reach that path too.
//
//     build/fuzz/fuzz/import_fuzz /tmp/corpus tests/data/import -max_total_time=300
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "phone/char_refs.h"
#include "phone/device_import.h"
#include "phone/lenient_xml.h"
#include "phone/long_values.h"
#include "phone/part_data.h"
#include "phone/sms_backup.h"

namespace {

using namespace phone;

struct Filtered {
    std::string text;
    std::uint64_t places = 0;
    std::uint64_t firstPlace = 0;
    std::vector<std::vector<std::uint8_t>> values;
    std::vector<bool> valid;
    std::vector<std::string> longValues;
};

// The filters over `input` cut at `cuts`.
Filtered Filter(std::string_view input, const std::vector<std::size_t>& cuts, std::size_t streamFrom) {
    InputDecoder decoder;
    XmlMender mender(true);
    PartDataExtractor extractor;
    CharRefFixer fixer;
    LongValueExtractor longValues(streamFrom);
    Filtered out;
    std::size_t from = 0;
    for (std::size_t i = 0; i <= cuts.size(); ++i) {
        const bool last = i == cuts.size();
        const std::size_t to = last ? input.size() : cuts[i];
        std::string decoded, mended, extracted, fixed;
        decoder.Feed(input.substr(from, to - from), decoded);
        if (last) decoder.Finish(decoded);
        mender.Feed(decoded, mended);
        if (last) mender.Finish(mended);
        extractor.Feed(mended, extracted);
        fixer.Feed(extracted, fixed);
        if (last) fixer.Finish(fixed);
        if (decoder.WasUtf16()) longValues.AssumeUtf8();
        longValues.Feed(fixed, out.text);
        if (last) longValues.Finish(out.text);
        from = to;
    }
    out.places = mender.Places();
    out.firstPlace = mender.FirstPlaceLine();
    PartDataExtractor::Value value;
    while (extractor.Take(&value)) {
        out.values.push_back(value.bytes);
        out.valid.push_back(value.valid);
    }
    std::string text;
    while (longValues.Take(&text)) out.longValues.push_back(std::move(text));
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    if (size > 1) {
        const std::size_t streamFrom = 1 + data[size - 1] % 64;
        const Filtered whole = Filter(input, {}, streamFrom);
        std::vector<std::size_t> cuts;
        for (std::size_t at = data[0] % size; at < size && cuts.size() < 8; at += 1 + data[at] % 17) cuts.push_back(at);
        const Filtered cut = Filter(input, cuts, streamFrom);
        if (cut.text != whole.text || cut.values != whole.values || cut.valid != whole.valid ||
            cut.places != whole.places || cut.firstPlace != whole.firstPlace || cut.longValues != whole.longValues) {
            __builtin_trap();
        }
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
