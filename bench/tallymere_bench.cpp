// tallymere-bench: the program's whole-store commands timed on a freshly seeded device, beside
// floors measured on the same data in the same run.
//
// Usage (from the worktree root, after `cmake --build --preset default`):
//
//     build/default/bench/tallymere-bench [--messages N] [--seed S]
//
// N defaults to 10000, S to 2008. The device is seeded in a temporary folder ($TMPDIR, else
// /tmp) with the `device seed` library routine and removed afterwards. Standard output gets one
// header line and one line per measurement, `name seconds microseconds-per-message`
// (wall-clock); standard error gets progress, the processor seconds of each measurement and
// the sizes involved:
//
//     backup-first   "Backup All" into an empty archive (command 40071, as the menu runs it)
//     backup-again   "Backup All" over the full archive of the same messages
//     export-all     "Export All" into an empty export tree (command 40053)
//     restore-extra  "Restore Extra" after every message was deleted from the store (40056)
//     floor-read     every message's properties, recipients, body and attachments read straight
//                    from the store's SQLite file with plain prepared queries
//     floor-write    as many bytes as Messages.dat holds written to one file
//     floor-files    as many files as the export made, with as many bytes, in as many directories
//
// Targets for 10,000 messages: backup-first at most 1.0 s and within 3x of floor-read +
// floor-write; export-all within 2x of floor-files + floor-read; restore-extra at most 2.0 s.
// The result boxes are checked (every message archived, exported and restored once; the second
// backup appends nothing); a mismatch ends the run with status 1.
//
// On a busy machine compare the processor seconds as well. On ext4, creating files shortly
// after many files were deleted (an earlier run removing its folder, other programs' tests) is
// slow in the kernel, whoever creates them: `TMPDIR=/dev/shm` measures the program and the store
// without that.
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/device_seed.h"
#include "cli/device_store.h"
#include "platform/device.h"
#include "platform/mapi/tags.h"
#include "platform/sqlite.h"
#include "platform/text.h"
#include "platform/ui.h"
#include "shell/app.h"
#include "shell/commands.h"
#include "support/settings.h"

namespace {

namespace fs = std::filesystem;
namespace mapi = platform::mapi;

// Boxes are kept, not shown; questions are answered OK; a failure is printed and ends the run
// (the program exits after it).
class QuietPort final : public platform::ui::Port {
public:
    int MessageBox(platform::ui::HWND, std::u16string_view text, std::u16string_view, std::uint32_t style) override {
        if (style == platform::ui::MB_OK) lastBox = platform::ToUtf8(text);
        return platform::ui::IDOK;
    }
    void FailureBox(platform::ui::HWND, std::u16string_view text, std::u16string_view caption) override {
        std::fprintf(stderr, "%s: %s\n", platform::ToUtf8(caption).c_str(), platform::ToUtf8(text).c_str());
    }
    std::string lastBox;
};

// Processor seconds (user and system) of the whole process so far.
double CpuSeconds() {
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const struct timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Processor seconds of every measurement, reported beside the wall-clock figures: on a busy
// machine the wall clock also counts the time spent waiting for a processor or the disk.
std::map<std::string, double> cpuSeconds;

double Seconds(const std::string& name, const std::function<void()>& work) {
    const double cpu = CpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    work();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    cpuSeconds[name] = CpuSeconds() - cpu;
    return wall;
}

// The host path of a device path ("\Program Files\Tallymere\Tallyport").
fs::path HostPath(std::u16string_view devicePath) {
    const std::optional<fs::path> host = platform::device::HostPath(devicePath);
    if (!host) {
        std::fprintf(stderr, "no host path for %s\n", platform::ToUtf8(devicePath).c_str());
        std::exit(1);
    }
    return *host;
}

// Reads every message straight from the database file, as few queries as a reader by
// identifier needs: the message's own properties, then the properties of its recipient rows
// and attachments. Returns a checksum of what was read so that nothing is skipped.
std::uint64_t ReadAllFromDatabase(std::uint32_t* messages) {
    platform::sql::Db db;
    if (!db.Open(platform::device::PlatformFile("messages.db"))) {
        std::fprintf(stderr, "cannot open the message database\n");
        std::exit(1);
    }
    platform::sql::Stmt ids = db.Prepare("SELECT id FROM objects WHERE kind = 5 ORDER BY id");
    platform::sql::Stmt own = db.Prepare("SELECT pid, type, value FROM props WHERE obj = ?");
    platform::sql::Stmt children = db.Prepare(
        "SELECT o.id, o.kind, p.pid, p.type, p.value FROM objects o JOIN props p ON p.obj = o.id"
        " WHERE o.parent = ? AND o.kind IN (6, 7) ORDER BY o.id");
    std::uint64_t sum = 0;
    std::vector<std::uint8_t> copy;
    auto take = [&](platform::sql::Stmt& q, int pid, int type, int value) {
        sum += static_cast<std::uint64_t>(q.Int(pid)) * 31 + static_cast<std::uint64_t>(q.Int(type));
        switch (q.Type(value)) {
            case 1: sum += static_cast<std::uint64_t>(q.Int(value)); break;
            case 4: {
                // The bytes are copied out, as any reader that keeps them must.
                const std::size_t size = q.Bytes(value);
                copy.assign(q.BlobData(value), q.BlobData(value) + size);
                sum += size + (size ? copy[size / 2] : 0);
                break;
            }
            default: break;
        }
    };
    *messages = 0;
    while (ids.Step()) {
        const std::int64_t id = ids.Int(0);
        own.Bind(1, id);
        while (own.Step()) take(own, 0, 1, 2);
        own.Reset();
        children.Bind(1, id);
        while (children.Step()) {
            sum += static_cast<std::uint64_t>(children.Int(1));
            take(children, 2, 3, 4);
        }
        children.Reset();
        ++*messages;
    }
    return sum;
}

// Writes `bytes` bytes to one new file in 64 KiB pieces and closes it.
void WriteOneFile(const fs::path& file, std::uint64_t bytes) {
    std::FILE* out = std::fopen(file.c_str(), "wb");
    if (out == nullptr) std::exit(1);
    std::vector<char> chunk(64 * 1024, 'x');
    while (bytes > 0) {
        const std::size_t piece = bytes < chunk.size() ? static_cast<std::size_t>(bytes) : chunk.size();
        if (std::fwrite(chunk.data(), 1, piece, out) != piece) std::exit(1);
        bytes -= piece;
    }
    if (std::fclose(out) != 0) std::exit(1);
}

struct Tree {
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;
    std::uint64_t directories = 0;
};

// What an export tree holds (its export list not counted).
Tree Measure(const fs::path& root) {
    Tree tree;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_directory()) {
            ++tree.directories;
        } else if (entry.is_regular_file() && entry.path().parent_path() != root) {
            ++tree.files;
            tree.bytes += entry.file_size();
        }
    }
    return tree;
}

// Creates `tree.files` small files spread over `tree.directories` new directories, together
// holding `tree.bytes` bytes, each written and closed.
void CreateFiles(const fs::path& root, const Tree& tree) {
    const std::uint64_t directories = tree.directories ? tree.directories : 1;
    for (std::uint64_t d = 0; d < directories; ++d) fs::create_directories(root / std::to_string(d));
    const std::uint64_t each = tree.files ? tree.bytes / tree.files : 0;
    std::vector<char> data(static_cast<std::size_t>(each) + 1, 'y');
    for (std::uint64_t f = 0; f < tree.files; ++f) {
        const std::uint64_t size = each + (f < tree.bytes % (tree.files ? tree.files : 1) ? 1 : 0);
        const fs::path file = root / std::to_string(f % directories) / (std::to_string(f) + ".txt");
        std::FILE* out = std::fopen(file.c_str(), "wb");
        if (out == nullptr || std::fwrite(data.data(), 1, size, out) != size || std::fclose(out) != 0) std::exit(1);
    }
}

// Deletes every message of every folder of every store, as the phone would.
void DeleteEverything() {
    cli::device::Phone phone;
    for (const cli::device::Named& store : phone.Stores()) {
        phone.WalkFolders(store, [&](const std::u16string&, mapi::IMAPIFolder* folder, int) {
            std::vector<cli::device::Bytes> ids = phone.Messages(folder);
            if (ids.empty()) return;
            std::vector<mapi::SBinary> entries;
            for (cli::device::Bytes& id : ids) entries.push_back({static_cast<mapi::ULONG>(id.size()), id.data()});
            mapi::ENTRYLIST list{static_cast<mapi::ULONG>(entries.size()), entries.data()};
            if (folder->DeleteMessages(&list, 0, nullptr, 0) != 0) {
                std::fprintf(stderr, "cannot delete the messages\n");
                std::exit(1);
            }
        });
    }
}

[[noreturn]] void Usage(const char* program) {
    std::fprintf(stderr, "usage: %s [--messages N] [--seed S]\n", program);
    std::exit(2);
}

std::uint64_t Number(const char* text, const char* program) {
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (*text == '\0' || *end != '\0' || text[0] == '-') Usage(program);
    return value;
}

}  // namespace

int main(int argc, char** argv) {
    std::uint32_t count = 10000;
    std::uint64_t seed = 2008;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--messages" && i + 1 < argc) {
            const std::uint64_t n = Number(argv[++i], argv[0]);
            if (n == 0 || n > 1000000) Usage(argv[0]);
            count = static_cast<std::uint32_t>(n);
        } else if (arg == "--seed" && i + 1 < argc) {
            seed = Number(argv[++i], argv[0]);
        } else {
            Usage(argv[0]);
        }
    }

    std::string pattern = (fs::temp_directory_path() / "tallymere-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) return 1;
    const fs::path base(pattern);
    std::string error;
    if (!platform::device::Mount(base / "device", &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::fprintf(stderr, "seeding %u messages (seed %llu) in %s ...\n", count, static_cast<unsigned long long>(seed),
                 base.c_str());
    {
        cli::device::Phone phone;
        cli::device::Seed(phone, count, seed);
    }

    QuietPort port;
    platform::ui::SetPort(&port);
    tallymere::BeginApp(tallymere::StartMode::OneShot);
    const std::u16string outputDir = tallymere::GetRegistryStr(tallymere::kOutputDirValue);

    std::map<std::string, double> seconds;
    bool sound = true;
    auto command = [&](const char* name, std::uint32_t number, const std::string& expected) {
        std::fprintf(stderr, "%s ...\n", name);
        seconds[name] = Seconds(name, [&] { tallymere::OnCommand(nullptr, number); });
        if (port.lastBox != expected) {
            std::fprintf(stderr, "%s: the box said \"%s\", expected \"%s\"\n", name, port.lastBox.c_str(),
                         expected.c_str());
            sound = false;
        }
    };
    const std::string n = std::to_string(count);

    std::fprintf(stderr, "floor-read ...\n");
    std::uint32_t read = 0;
    std::uint64_t checksum = 0;
    seconds["floor-read"] = Seconds("floor-read", [&] { checksum = ReadAllFromDatabase(&read); });
    if (read != count) {
        std::fprintf(stderr, "floor-read met %u messages, expected %u\n", read, count);
        sound = false;
    }

    command("backup-first", tallymere::kCommandBackupAll, "Message backup was successfull. (" + n + " messages)");
    command("backup-again", tallymere::kCommandBackupAll, "Message backup was successfull. (0 messages)");
    command("export-all", tallymere::kCommandExportAll, n + " messages exported successfully.");

    const fs::path floors = base / "floors";
    fs::create_directories(floors);
    const std::uint64_t archiveBytes = fs::file_size(HostPath(outputDir + u"\\Tallymere\\Messages.dat"));
    std::fprintf(stderr, "floor-write ...\n");
    seconds["floor-write"] = Seconds("floor-write", [&] { WriteOneFile(floors / "Messages.dat", archiveBytes); });
    const Tree exported = Measure(HostPath(outputDir + u"\\Tallyport"));
    std::fprintf(stderr, "floor-files ...\n");
    seconds["floor-files"] = Seconds("floor-files", [&] { CreateFiles(floors / "files", exported); });

    DeleteEverything();
    command("restore-extra", tallymere::kCommandRestoreExtra, "Message restore was successfull. (" + n + " messages)");

    tallymere::EndApp(tallymere::StartMode::OneShot);
    platform::ui::SetPort(nullptr);
    platform::device::Unmount();

    std::printf("# tallymere-bench --messages %u --seed %llu: name seconds microseconds-per-message\n", count,
                static_cast<unsigned long long>(seed));
    for (const char* name : {"backup-first", "backup-again", "export-all", "restore-extra", "floor-read", "floor-write",
                             "floor-files"}) {
        std::printf("%s %.3f %.1f\n", name, seconds[name], 1e6 * seconds[name] / count);
    }
    std::fprintf(stderr, "processor seconds:");
    for (const auto& [name, cpu] : cpuSeconds) std::fprintf(stderr, " %s %.3f", name.c_str(), cpu);
    std::fprintf(stderr, "\n");
    std::fprintf(stderr,
                 "Messages.dat %.1f MB; export %llu files, %.1f MB in %llu directories; read checksum %llx\n",
                 archiveBytes / 1e6, static_cast<unsigned long long>(exported.files), exported.bytes / 1e6,
                 static_cast<unsigned long long>(exported.directories), static_cast<unsigned long long>(checksum));

    std::error_code ec;
    fs::remove_all(base, ec);
    return sound ? 0 : 1;
}
