// import_bench: `device import` of a generated SMS/MMS backup file, timed.
//
// Usage (from the worktree root, after `cmake --build --preset default --target import_bench`):
//
//     build/default/bench/import_bench [--sms N] [--mms M] [--media-kb K] [--seed S] [--disk DIR]
//     build/default/bench/import_bench --write FILE --megabytes MB [--media-kb K] [--seed S]
//     build/default/bench/import_bench --write FILE --body-mb MB [--text ascii|mixed] | --part-mb MB
//
// The first form writes a backup file of N SMS (default 20000) and M MMS (default 200, each
// with one to three pictures of about K KB, default 100, a text and a layout part) into a
// temporary folder ($TMPDIR, else /tmp), imports it into a fresh device folder there with the
// library routine of `device import`, imports it a second time (every message already
// present), and removes the folder. The SMS and the MMS are imported as two files, so that
// each rate is measured on its own. Standard output gets one line per measurement,
// `name seconds rate cpu-rate syncs` (wall-clock seconds; messages a second, or MB a second for
// the MMS file, of wall-clock and of processor time; the number of fdatasync and fsync calls);
// standard error the processor seconds of each and the sizes.
//
// `--disk DIR` puts the folder under DIR instead: a device on a real disk (not /dev/shm or
// another tmpfs), where each disk sync costs what it costs. The target there: at least 15000
// SMS a processor second, and at most one sync per 1000 messages or per second.
//
//     import-sms     N SMS into an empty store                       (target: at least 5000 a second)
//     import-mms     M MMS with their media, after the SMS
//     again-sms      the SMS file again: nothing is added
//     again-mms      the MMS file again: nothing is added
//
// The second form only writes a file of about MB megabytes, mostly MMS media, for measuring
// the memory of `tallymere-cli device import` on it (/usr/bin/time -v). The third writes three
// messages, the second of which has a body of MB megabytes (text in several scripts, with
// references and line breaks; with `--text ascii` plain ASCII letters, whose UTF-16 is twice
// their size) or is an MMS with a picture of MB megabytes, for the memory of a long text
// attribute or of a large media part.
//
// Wall-clock figures on a machine shared with other builds are noisy: compare the processor
// seconds too, and `TMPDIR=/dev/shm` keeps the disk out of it.
#include <dlfcn.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "phone/device_import.h"
#include "phone/seeded_random.h"
#include "platform/device.h"

// Every disk sync of the process is counted on its way to the C library.
std::atomic<long> syncs{0};

extern "C" int fdatasync(int fd) {
    using Call = int (*)(int);
    static const Call next = reinterpret_cast<Call>(::dlsym(RTLD_NEXT, "fdatasync"));
    ++syncs;
    return next(fd);
}

extern "C" int fsync(int fd) {
    using Call = int (*)(int);
    static const Call next = reinterpret_cast<Call>(::dlsym(RTLD_NEXT, "fsync"));
    ++syncs;
    return next(fd);
}

namespace {

namespace fs = std::filesystem;

using Random = phone::SeededRandom;

const char* const kWords[] = {"see",
                              "you",
                              "at",
                              "eight",
                              "tonight",
                              "thanks",
                              "for",
                              "the",
                              "lovely",
                              "dinner",
                              "call",
                              "me",
                              "when",
                              "free",
                              "running",
                              "late",
                              "sorry",
                              "bus",
                              "Grüße",
                              "café",
                              "Привет",
                              "明日",
                              "ok",
                              "love",
                              "home",
                              "soon",
                              "&amp;",
                              "&lt;3",
                              "&#55357;&#56832;",
                              "&#55356;&#57173;"};

std::string Body(Random& random) {
    std::string body;
    for (std::uint32_t n = 3 + random.Below(25); n > 0; --n) {
        if (!body.empty()) body += ' ';
        body += kWords[random.Below(std::size(kWords))];
    }
    return body;
}

std::string Number(Random& random) { return "+1555" + std::to_string(1000000 + random.Below(400)).substr(1); }

void Base64(Random& random, std::size_t bytes, std::FILE* out) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string line;
    for (std::size_t written = 0; written < bytes; written += 3) {
        const std::uint64_t r = random.Next();
        for (int k = 0; k < 4; ++k) line += alphabet[(r >> (6 * k)) & 63];
        if (line.size() >= 4096) {
            std::fwrite(line.data(), 1, line.size(), out);
            line.clear();
        }
    }
    std::fwrite(line.data(), 1, line.size(), out);
}

void WriteHeader(std::FILE* out) {
    std::fputs("<?xml version='1.0' encoding='UTF-8' standalone='yes' ?>\n<smses count=\"0\" backup_set=\"bench\">\n",
               out);
}

void WriteSms(Random& random, std::uint64_t i, std::FILE* out) {
    static const int kTypes[] = {1, 1, 1, 1, 1, 1, 2, 2, 2, 3, 4, 5};
    std::fprintf(out,
                 "  <sms protocol=\"0\" address=\"%s\" date=\"%llu\" type=\"%d\" subject=\"null\" body=\"%s\" "
                 "toa=\"null\" sc_toa=\"null\" service_center=\"+15550000\" read=\"%d\" status=\"-1\" locked=\"0\" "
                 "date_sent=\"0\" sub_id=\"1\" readable_date=\"-\" contact_name=\"(Unknown)\" />\n",
                 Number(random).c_str(), 1500000000000ull + i * 61000, kTypes[random.Below(std::size(kTypes))],
                 Body(random).c_str(), random.Below(10) < 8 ? 1 : 0);
}

void WriteMms(Random& random, std::uint64_t i, std::size_t mediaBytes, std::FILE* out) {
    const bool received = random.Below(2) == 0;
    const std::string other = Number(random);
    std::fprintf(out,
                 "  <mms date=\"%llu\" ct_t=\"application/vnd.wap.multipart.related\" msg_box=\"%d\" sub=\"Photos\" "
                 "read=\"1\" m_type=\"%d\" address=\"%s\" contact_name=\"(Unknown)\">\n    <parts>\n"
                 "      <part seq=\"-1\" ct=\"application/smil\" name=\"null\" cl=\"smil.xml\" "
                 "text=\"&lt;smil&gt;&lt;body&gt;&lt;par dur=&quot;5000ms&quot;/&gt;&lt;/body&gt;&lt;/smil&gt;\" />\n",
                 1600000000000ull + i * 3601000, received ? 1 : 2, received ? 132 : 128, other.c_str());
    for (std::uint32_t p = 1 + random.Below(3); p > 0; --p) {
        std::fprintf(out, "      <part seq=\"0\" ct=\"image/jpeg\" name=\"IMG_%05llu_%u.jpg\" text=\"null\" data=\"",
                     static_cast<unsigned long long>(i), p);
        Base64(random, mediaBytes / 2 + random.Below(static_cast<std::uint32_t>(mediaBytes)), out);
        std::fputs("\" />\n", out);
    }
    std::fprintf(out,
                 "      <part seq=\"0\" ct=\"text/plain\" chset=\"106\" text=\"%s\" />\n    </parts>\n    <addrs>\n"
                 "      <addr address=\"%s\" type=\"137\" charset=\"106\" />\n"
                 "      <addr address=\"%s\" type=\"151\" charset=\"106\" />\n    </addrs>\n  </mms>\n",
                 Body(random).c_str(), received ? other.c_str() : "+15550100", received ? "+15550100" : other.c_str());
}

// Three messages, the second an SMS with a body of `bodyMb` MB (mixed scripts, or ASCII when
// `ascii`), or an MMS with a picture of `partMb` MB.
void WriteLong(std::uint64_t bodyMb, std::uint64_t partMb, bool ascii, std::FILE* out) {
    WriteHeader(out);
    const char* sms = "  <sms address=\"+15550100\" date=\"%llu\" type=\"1\" read=\"1\" body=\"";
    std::fprintf(out, sms, 1500000000000ull);
    std::fputs("before\" />\n", out);
    if (partMb > 0) {
        Random random(partMb);
        std::fputs(
            "  <mms date=\"1500000001000\" msg_box=\"1\" m_type=\"132\" address=\"+15550100\">\n    <parts>\n"
            "      <part seq=\"0\" ct=\"image/jpeg\" name=\"big.jpg\" data=\"",
            out);
        Base64(random, partMb * 1000000, out);
        std::fputs(
            "\" />\n    </parts>\n    <addrs>\n      <addr address=\"+15550100\" type=\"137\" />\n"
            "    </addrs>\n  </mms>\n",
            out);
    }
    if (bodyMb > 0) std::fprintf(out, sms, 1500000001000ull);
    const std::string piece =
        ascii ? std::string("Lorem ipsum dolor sit amet, consectetur adipiscing elit. ")
              : "Lorem ipsum &amp; dolor sit amet, caf\xC3\xA9 \xD0\xBF\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 "
                "\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D \xF0\x9F\x98\x80 &#10;";
    for (std::uint64_t written = 0; written < bodyMb * 1000000; written += piece.size()) {
        std::fwrite(piece.data(), 1, piece.size(), out);
    }
    if (bodyMb > 0) std::fputs("end\" />\n", out);
    std::fprintf(out, sms, 1500000002000ull);
    std::fputs("after\" />\n</smses>\n", out);
}

double CpuSeconds() {
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long MaxResidentKb() {
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

bool Import(const std::string& name, const std::string& file, double units, const char* unit,
            const std::string& expected) {
    phone::Phone phone;
    phone::Importer importer(phone, stderr, "import_bench: ", false);
    const double cpu = CpuSeconds();
    const long syncsBefore = syncs.load();
    const auto start = std::chrono::steady_clock::now();
    std::string error;
    const bool ok = importer.ImportFile(file, &error);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double used = CpuSeconds() - cpu;
    const long synced = syncs.load() - syncsBefore;
    const std::string summary = phone::ImportSummary(importer.Counts());
    std::printf("%-13s %8.3f %10.0f %10.0f %6ld\n", name.c_str(), wall, units / wall, units / used, synced);
    std::fflush(stdout);
    std::fprintf(stderr, "  %s: %.3f processor seconds (%.0f %s a processor second), %ld disk syncs: %s\n",
                 name.c_str(), used, units / used, unit, synced, summary.c_str());
    if (!ok || summary != expected) {
        std::fprintf(stderr, "import_bench: %s: expected \"%s\"%s%s\n", name.c_str(), expected.c_str(),
                     ok ? "" : ", stopped: ", error.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::uint64_t sms = 20000, mms = 200, seed = 2008, mediaKb = 100, megabytes = 0, bodyMb = 0, partMb = 0;
    std::string writeOnly, disk;
    bool ascii = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const std::uint64_t value = std::strtoull(argv[i + 1], nullptr, 10);
        if (option == "--sms") sms = value;
        else if (option == "--mms") mms = value;
        else if (option == "--media-kb") mediaKb = value;
        else if (option == "--seed") seed = value;
        else if (option == "--megabytes") megabytes = value;
        else if (option == "--body-mb") bodyMb = value;
        else if (option == "--part-mb") partMb = value;
        else if (option == "--write") writeOnly = argv[i + 1];
        else if (option == "--disk") disk = argv[i + 1];
        else if (option == "--text" && (argv[i + 1] == std::string("ascii") || argv[i + 1] == std::string("mixed")))
            ascii = argv[i + 1] == std::string("ascii");
        else {
            std::fprintf(stderr,
                         "usage: import_bench [--sms N] [--mms M] [--media-kb K] [--seed S] [--disk DIR]\n"
                         "       import_bench --write FILE --megabytes MB [--media-kb K] [--seed S]\n"
                         "       import_bench --write FILE --body-mb MB [--text ascii|mixed] | --part-mb MB\n");
            return 2;
        }
    }
    Random random(seed);
    const std::size_t mediaBytes = mediaKb * 1024;

    if (!writeOnly.empty()) {
        std::FILE* out = std::fopen(writeOnly.c_str(), "wb");
        if (out == nullptr) return 1;
        if (bodyMb > 0 || partMb > 0) {
            WriteLong(bodyMb, partMb, ascii, out);
            return std::fclose(out) == 0 ? 0 : 1;
        }
        WriteHeader(out);
        std::uint64_t i = 0;
        while (static_cast<std::uint64_t>(std::ftell(out)) < megabytes * 1000000) {
            if (i % 10 == 0) {
                WriteMms(random, i, mediaBytes, out);
            } else {
                WriteSms(random, i, out);
            }
            ++i;
        }
        std::fputs("</smses>\n", out);
        std::fprintf(stderr, "import_bench: %s: %.1f MB, %llu messages\n", writeOnly.c_str(), std::ftell(out) / 1e6,
                     static_cast<unsigned long long>(i));
        return std::fclose(out) == 0 ? 0 : 1;
    }

    std::string pattern =
        ((disk.empty() ? fs::temp_directory_path() : fs::path(disk)) / "tallymere-import-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) return 1;
    const fs::path base(pattern);
    const std::string smsFile = (base / "sms.xml").string(), mmsFile = (base / "mms.xml").string();
    for (const auto& [file, count, isMms] : {std::tuple{smsFile, sms, false}, std::tuple{mmsFile, mms, true}}) {
        std::FILE* out = std::fopen(file.c_str(), "wb");
        if (out == nullptr) return 1;
        WriteHeader(out);
        for (std::uint64_t i = 0; i < count; ++i)
            isMms ? WriteMms(random, i, mediaBytes, out) : WriteSms(random, i, out);
        std::fputs("</smses>\n", out);
        std::fclose(out);
    }
    const double mmsMb = static_cast<double>(fs::file_size(mmsFile)) / 1e6;
    std::fprintf(stderr, "import_bench: in %s: %llu SMS (%.1f MB), %llu MMS (%.1f MB)\n", base.c_str(),
                 static_cast<unsigned long long>(sms), static_cast<double>(fs::file_size(smsFile)) / 1e6,
                 static_cast<unsigned long long>(mms), mmsMb);
    std::string error;
    if (!platform::device::Mount(base / "device", &error)) {
        std::fprintf(stderr, "import_bench: %s\n", error.c_str());
        return 1;
    }
    const auto summary = [](std::uint64_t s, std::uint64_t m, std::uint64_t present) {
        phone::ImportCounts counts;
        counts.sms = s;
        counts.mms = m;
        counts.present = present;
        return phone::ImportSummary(counts);
    };
    bool ok = Import("import-sms", smsFile, static_cast<double>(sms), "SMS", summary(sms, 0, 0)) &&
              Import("import-mms", mmsFile, mmsMb, "MB", summary(0, mms, 0)) &&
              Import("again-sms", smsFile, static_cast<double>(sms), "SMS", summary(0, 0, sms)) &&
              Import("again-mms", mmsFile, static_cast<double>(mms), "MMS", summary(0, 0, mms));
    std::fprintf(stderr, "import_bench: largest resident size %.1f MB\n", static_cast<double>(MaxResidentKb()) / 1024);
    platform::device::Unmount();
    fs::remove_all(base);
    return ok ? 0 : 1;
}
