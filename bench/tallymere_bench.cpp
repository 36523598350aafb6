// tallymere-bench: the program's whole-store commands timed on a freshly seeded device, beside
// floors measured on the same data in the same run, and the resident program's idle cost.
//
// Usage (from the worktree root, after `cmake --build --preset default`):
//
//     build/default/bench/tallymere-bench [--messages N] [--seed S] [--idle-seconds T] [--dir DIR] [--json]
//
// N defaults to 10000, S to 2008, T to 5 (0 leaves out idle-cpu and notify-latency). The device
// and the floors' files are made in a temporary folder under DIR (default $TMPDIR, else /tmp)
// and removed afterwards: /dev/shm measures without a disk, a folder on a disk with one. The
// device is seeded with the `device seed` library routine. Standard error gets progress, the
// processor seconds of each measurement and the sizes involved. Standard output gets one
// header line and then, for the timed figures, one line each,
// `name seconds microseconds-per-message cpu-seconds syncs` (wall-clock seconds, then the
// processor seconds of the process and the number of fsync and fdatasync calls made during
// the figure, by the program and the store's SQLite alike):
//
//     backup-first    "Backup All" into an empty archive (command 40071, as the menu runs it)
//     backup-again    "Backup All" over the full archive of the same messages
//     export-all      "Export All" into an empty export tree (command 40053)
//     export-again    "Export All" again with nothing new to export
//     restore-extra   "Restore Extra" after every message was deleted from the store (40056)
//     floor-read      every message's properties, recipients, body and attachments read straight
//                     from the store's SQLite file with plain prepared queries
//     floor-write     as many bytes as Messages.dat holds written to one file
//     floor-files     as many files as the export made, with as many bytes, in as many directories
//     floor-insert    the same messages inserted into a fresh SQLite file with the store's schema
//                     and pragmas (taken from the store's own file), one transaction per message
//                     with prepared statements: the message, its recipient rows, its attachments,
//                     their properties and one change-log row
//
// then one line per ratio, `ratio-NAME value target` (the command's seconds over its floor's):
//
//     ratio-backup-first    backup-first / (floor-read + floor-write)    target 2.0
//     ratio-backup-again    backup-again / (floor-read + floor-write)    target 2.0
//     ratio-export-all      export-all / (floor-files + floor-read)      target 1.3
//     ratio-restore-extra   restore-extra / floor-insert                 target 1.3
//
// and the repeated passes against the first ones, `again-NAME value target` (wall-clock):
//
//     again-backup          backup-again / backup-first                  target 0.30
//     again-export          export-again / export-all                    target 0.05
//
// and, unless T is 0, the resident program's figures:
//
//     idle-cpu        percent of one core that `tallymere-cli watch` uses over T seconds
//                     while nothing happens (all its threads, from /proc)
//     notify-latency  milliseconds from a message's creation committed in another process to
//                     its notification in this one: `notify-latency median max` over 20
//                     deliveries, each after a pause so that the notification thread is idle;
//                     targets 0.1 percent and 20 ms
//
// With --json, standard output gets instead one JSON object with every figure (seconds,
// microseconds per message, processor seconds, ratios, the idle figures, the sizes), so that
// runs can be compared. The result boxes are checked (every message archived, exported and
// restored once; the second backup and the second export add nothing); a mismatch ends the run
// with status 1.
//
// On a busy machine compare the processor seconds as well. On ext4, creating files shortly
// after many files were deleted (an earlier run removing its folder, other programs' tests) is
// slow in the kernel, whoever creates them: `TMPDIR=/dev/shm` measures the program and the store
// without that. bench/compare.sh runs a before and an after build three times each and takes
// the best of every figure.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "phone/device_seed.h"
#include "phone/device_store.h"
#include "platform/device.h"
#include "platform/mapi/mapi.h"
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
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

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

// Every fsync and fdatasync of the process, the store's SQLite library included, goes through
// these definitions (the executable's own come first in symbol lookup) and is counted.
std::atomic<std::uint64_t> syncCalls{0};

}  // namespace

extern "C" int fsync(int fd) {
    syncCalls.fetch_add(1, std::memory_order_relaxed);
    return static_cast<int>(::syscall(SYS_fsync, fd));
}

extern "C" int fdatasync(int fd) {
    syncCalls.fetch_add(1, std::memory_order_relaxed);
    return static_cast<int>(::syscall(SYS_fdatasync, fd));
}

namespace {

// Processor seconds (user and system) of the whole process so far.
double CpuSeconds() {
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const struct timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Wall-clock and processor seconds of every measurement: on a busy machine the wall clock also
// counts the time spent waiting for a processor or the disk.
std::map<std::string, double> wallSeconds;
std::map<std::string, double> cpuSeconds;
std::map<std::string, std::uint64_t> syncCounts;

void Measure(const std::string& name, const std::function<void()>& work) {
    std::fprintf(stderr, "%s ...\n", name.c_str());
    const double cpu = CpuSeconds();
    const std::uint64_t syncs = syncCalls.load();
    const auto start = Clock::now();
    work();
    wallSeconds[name] = std::chrono::duration<double>(Clock::now() - start).count();
    cpuSeconds[name] = CpuSeconds() - cpu;
    syncCounts[name] = syncCalls.load() - syncs;
}

[[noreturn]] void Die(const std::string& why) {
    std::fprintf(stderr, "%s\n", why.c_str());
    std::exit(1);
}

// The host path of a device path ("\Program Files\Tallymere\Tallyport").
fs::path HostPath(std::u16string_view devicePath) {
    const std::optional<fs::path> host = platform::device::HostPath(devicePath);
    if (!host) Die("no host path for " + platform::ToUtf8(devicePath));
    return *host;
}

// Reads every message straight from the database file, as few queries as a reader by
// identifier needs: the message's own properties, then the properties of its recipient rows
// and attachments. Returns a checksum of what was read so that nothing is skipped.
[[gnu::noinline]] std::uint64_t ReadAllFromDatabase(std::uint32_t* messages) {
    platform::sql::Db db;
    if (!db.Open(platform::device::PlatformFile("messages.db"))) Die("cannot open the message database");
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
[[gnu::noinline]] void WriteOneFile(const fs::path& file, std::uint64_t bytes) {
    std::FILE* out = std::fopen(file.c_str(), "wb");
    if (out == nullptr) Die("cannot write " + file.string());
    std::vector<char> chunk(64 * 1024, 'x');
    while (bytes > 0) {
        const std::size_t piece = bytes < chunk.size() ? static_cast<std::size_t>(bytes) : chunk.size();
        if (std::fwrite(chunk.data(), 1, piece, out) != piece) Die("cannot write " + file.string());
        bytes -= piece;
    }
    if (std::fclose(out) != 0) Die("cannot write " + file.string());
}

struct Tree {
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;
    std::uint64_t directories = 0;
};

// What an export tree holds (its export list not counted).
Tree Sizes(const fs::path& root) {
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
[[gnu::noinline]] void CreateFiles(const fs::path& root, const Tree& tree) {
    const std::uint64_t directories = tree.directories ? tree.directories : 1;
    for (std::uint64_t d = 0; d < directories; ++d) fs::create_directories(root / std::to_string(d));
    const std::uint64_t each = tree.files ? tree.bytes / tree.files : 0;
    std::vector<char> data(static_cast<std::size_t>(each) + 1, 'y');
    for (std::uint64_t f = 0; f < tree.files; ++f) {
        const std::uint64_t size = each + (f < tree.bytes % (tree.files ? tree.files : 1) ? 1 : 0);
        const fs::path file = root / std::to_string(f % directories) / (std::to_string(f) + ".txt");
        std::FILE* out = std::fopen(file.c_str(), "wb");
        if (out == nullptr || std::fwrite(data.data(), 1, size, out) != size || std::fclose(out) != 0) {
            Die("cannot write " + file.string());
        }
    }
}

// The messages as the store holds them, for floor-insert: each object's stored properties.
struct StoredValue {
    std::int64_t pid = 0;
    std::int64_t type = 0;
    int storage = 5;  // SQLite's storage class: 1 integer, 2 real, 4 blob, 5 null
    std::int64_t integer = 0;
    double real = 0;
    std::vector<std::uint8_t> bytes;
};
struct StoredObject {
    std::int64_t kind = 0;
    std::vector<StoredValue> values;
};
struct StoredMessage {
    std::int64_t folder = 0;  // in the fresh file
    StoredObject message;
    std::vector<StoredObject> children;  // recipient rows and attachments, in id order
};

std::vector<StoredValue> ValuesOf(platform::sql::Db& db, std::int64_t obj) {
    platform::sql::Stmt q = db.Prepare("SELECT pid, type, value FROM props WHERE obj = ? ORDER BY pid");
    q.Bind(1, obj);
    std::vector<StoredValue> values;
    while (q.Step()) {
        StoredValue v;
        v.pid = q.Int(0);
        v.type = q.Int(1);
        v.storage = q.Type(2);
        if (v.storage == 1) v.integer = q.Int(2);
        if (v.storage == 2) v.real = q.Real(2);
        if (v.storage == 3 || v.storage == 4) v.bytes.assign(q.BlobData(2), q.BlobData(2) + q.Bytes(2));
        if (v.storage == 3) v.storage = 4;
        values.push_back(std::move(v));
    }
    return values;
}

void BindValue(platform::sql::Stmt& q, int at, const StoredValue& v) {
    switch (v.storage) {
        case 1: q.Bind(at, v.integer); break;
        case 2: q.BindReal(at, v.real); break;
        case 4: q.BindBlob(at, v.bytes.data(), v.bytes.size()); break;
        default: q.BindNull(at); break;
    }
}

// Inserts the messages, one transaction each, with statements prepared once.
[[gnu::noinline]] void InsertAll(platform::sql::Db& db, const std::vector<StoredMessage>& messages,
                                 std::int64_t store) {
    platform::sql::Stmt begin = db.Prepare("BEGIN IMMEDIATE");
    platform::sql::Stmt commit = db.Prepare("COMMIT");
    platform::sql::Stmt object = db.Prepare("INSERT INTO objects (kind, store, parent) VALUES (?, ?, ?)");
    platform::sql::Stmt prop = db.Prepare("INSERT INTO props (obj, pid, type, value) VALUES (?, ?, ?, ?)");
    platform::sql::Stmt change = db.Prepare(
        "INSERT INTO changes (event, objtype, obj, parent, oldobj, oldparent, time) VALUES (4, 5, ?, ?, 0, 0, ?)");
    auto insert = [&](const StoredObject& o, std::int64_t parent) {
        object.Bind(1, o.kind).Bind(2, store).Bind(3, parent);
        if (!object.Run()) Die("floor-insert: " + db.LastError());
        object.Reset();
        const std::int64_t id = db.LastInsertRowId();
        for (const StoredValue& v : o.values) {
            prop.Bind(1, id).Bind(2, v.pid).Bind(3, v.type);
            BindValue(prop, 4, v);
            if (!prop.Run()) Die("floor-insert: " + db.LastError());
            prop.Reset();
        }
        return id;
    };
    const std::int64_t now =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    for (const StoredMessage& m : messages) {
        if (!begin.Run()) Die("floor-insert: " + db.LastError());
        begin.Reset();
        const std::int64_t id = insert(m.message, m.folder);
        for (const StoredObject& child : m.children) insert(child, id);
        change.Bind(1, id).Bind(2, m.folder).Bind(3, now);
        if (!change.Run()) Die("floor-insert: " + db.LastError());
        change.Reset();
        if (!commit.Run()) Die("floor-insert: " + db.LastError());
        commit.Reset();
    }
}

// floor-insert: reads the messages (not timed), makes the fresh file with the store's schema
// and its stores and folders (not timed), then times the insertion.
void FloorInsert(const fs::path& file) {
    platform::sql::Db source;
    if (!source.Open(platform::device::PlatformFile("messages.db"))) Die("cannot open the message database");
    platform::sql::Db fresh;
    if (!fresh.Open(file)) Die("cannot make " + file.string());
    // The store's schema as its file holds it.
    {
        platform::sql::Stmt schema = source.Prepare(
            "SELECT sql FROM sqlite_master WHERE sql IS NOT NULL AND name NOT LIKE 'sqlite_%' ORDER BY rowid");
        while (schema.Step()) {
            if (!fresh.Exec(schema.Text(0))) Die("floor-insert schema: " + fresh.LastError());
        }
    }
    // Stores and folders keep their ids, so that the messages' parents are where they were.
    std::int64_t store = 0;
    {
        if (!fresh.Exec("BEGIN")) Die("floor-insert: " + fresh.LastError());
        platform::sql::Stmt rows =
            source.Prepare("SELECT id, kind, store, parent FROM objects WHERE kind IN (1, 3) ORDER BY id");
        platform::sql::Stmt object = fresh.Prepare("INSERT INTO objects (id, kind, store, parent) VALUES (?, ?, ?, ?)");
        platform::sql::Stmt prop = fresh.Prepare("INSERT INTO props (obj, pid, type, value) VALUES (?, ?, ?, ?)");
        while (rows.Step()) {
            object.Bind(1, rows.Int(0)).Bind(2, rows.Int(1)).Bind(3, rows.Int(2));
            if (rows.IsNull(3)) {
                object.BindNull(4);
            } else {
                object.Bind(4, rows.Int(3));
            }
            if (!object.Run()) Die("floor-insert: " + fresh.LastError());
            object.Reset();
            if (rows.Int(1) == 1 && store == 0) store = rows.Int(0);
            for (const StoredValue& v : ValuesOf(source, rows.Int(0))) {
                prop.Bind(1, rows.Int(0)).Bind(2, v.pid).Bind(3, v.type);
                BindValue(prop, 4, v);
                if (!prop.Run()) Die("floor-insert: " + fresh.LastError());
                prop.Reset();
            }
        }
        if (!fresh.Exec("COMMIT")) Die("floor-insert: " + fresh.LastError());
    }
    std::vector<StoredMessage> messages;
    {
        platform::sql::Stmt ids = source.Prepare("SELECT id, parent FROM objects WHERE kind = 5 ORDER BY id");
        platform::sql::Stmt children = source.Prepare("SELECT id, kind FROM objects WHERE parent = ? ORDER BY id");
        while (ids.Step()) {
            StoredMessage m;
            m.folder = ids.Int(1);
            m.message.kind = 5;
            m.message.values = ValuesOf(source, ids.Int(0));
            children.Bind(1, ids.Int(0));
            while (children.Step()) m.children.push_back({children.Int(1), ValuesOf(source, children.Int(0))});
            children.Reset();
            messages.push_back(std::move(m));
        }
    }
    Measure("floor-insert", [&] { InsertAll(fresh, messages, store); });
}

// Deletes every message of every folder of every store, as the phone would.
void DeleteEverything() {
    phone::Phone phone;
    for (const phone::Named& store : phone.Stores()) {
        phone.WalkFolders(store, [&](const std::u16string&, mapi::IMAPIFolder* folder, int) {
            std::vector<phone::Bytes> ids = phone.Messages(folder);
            if (ids.empty()) return;
            std::vector<mapi::SBinary> entries;
            for (phone::Bytes& id : ids) entries.push_back({static_cast<mapi::ULONG>(id.size()), id.data()});
            mapi::ENTRYLIST list{static_cast<mapi::ULONG>(entries.size()), entries.data()};
            if (folder->DeleteMessages(&list, 0, nullptr, 0) != 0) Die("cannot delete the messages");
        });
    }
}

// Starts `program` with `args`; its standard output goes to `outFd`, its standard input comes
// from `inFd` (each -1 for /dev/null), its standard error goes to /dev/null.
pid_t Spawn(const std::string& program, const std::vector<std::string>& args, int inFd, int outFd) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(inFd >= 0 ? inFd : null, 0);
    ::dup2(outFd >= 0 ? outFd : null, 1);
    ::dup2(null, 2);
    std::vector<std::string> copies = args;
    std::string path = program;
    std::vector<char*> argv{path.data()};
    for (std::string& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(path.c_str(), argv.data());
    ::_exit(127);
}

int Wait(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Reads exactly `size` bytes from `fd` within `limit`.
bool ReadFully(int fd, void* buffer, std::size_t size, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    auto* out = static_cast<char*>(buffer);
    while (size > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        const ssize_t got = ::read(fd, out, size);
        if (got <= 0) return false;
        out += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

bool ReadLine(int fd, std::chrono::milliseconds limit) {
    char c = 0;
    while (ReadFully(fd, &c, 1, limit)) {
        if (c == '\n') return true;
    }
    return false;
}

// Processor nanoseconds of every thread of a process so far.
std::uint64_t ProcessCpuNanoseconds(pid_t pid) {
    std::uint64_t total = 0;
    std::error_code ec;
    for (const fs::directory_entry& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        std::ifstream in(task.path() / "schedstat");
        std::uint64_t onCpu = 0;
        if (in >> onCpu) total += onCpu;
    }
    return total;
}

// idle-cpu: `tallymere-cli watch` on the device, measured while nothing happens.
std::optional<double> IdleCpuPercent(const std::string& cli, const fs::path& device, int seconds) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return std::nullopt;
    const pid_t watch = Spawn(cli, {"--device", device.string(), "watch"}, -1, out[1]);
    ::close(out[1]);
    std::optional<double> percent;
    if (ReadLine(out[0], 60s)) {
        std::this_thread::sleep_for(1s);  // its start-up settles
        const std::uint64_t before = ProcessCpuNanoseconds(watch);
        const auto start = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const std::uint64_t after = ProcessCpuNanoseconds(watch);
        const double wall = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
        percent = 100.0 * static_cast<double>(after - before) / wall;
    } else {
        std::fprintf(stderr, "idle-cpu: watch did not start\n");
    }
    ::kill(watch, SIGTERM);
    const int status = Wait(watch);
    ::close(out[0]);
    if (status != 0) {
        std::fprintf(stderr, "idle-cpu: watch ended with status %d\n", status);
        return std::nullopt;
    }
    return percent;
}

// The other process of notify-latency (this program started again with --deliverer DEVICE):
// for every byte on standard input a message is created in SMS/Inbox, and the moment its
// creation was committed is written to standard output.
int Deliverer(const fs::path& device) {
    std::string error;
    if (!platform::device::Mount(device, &error)) return 2;
    phone::Phone phone;
    mapi::Ptr<mapi::IMAPIFolder> inbox = phone.FindFolder(u"SMS/Inbox");
    char request = 0;
    while (::read(0, &request, 1) == 1) {
        mapi::Ptr<mapi::IMessage> message;
        if (inbox->CreateMessage(nullptr, 0, message.Out()) != 0) return 3;
        const std::int64_t committed = Clock::now().time_since_epoch().count();
        mapi::SPropValue subject{};
        subject.ulPropTag = mapi::PR_SUBJECT_W;
        subject.Value.lpszW = const_cast<char16_t*>(u"latency");
        if (message->SetProps(1, &subject, nullptr) != 0) return 4;
        message.reset();
        if (::write(1, &committed, sizeof committed) != sizeof committed) return 5;
    }
    return 0;
}

// Records when each created notification arrives.
class TimingSink final : public mapi::IMAPIAdviseSink {
public:
    mapi::HRESULT QueryInterface(const mapi::IID&, void** object) override {
        *object = this;
        AddRef();
        return 0;
    }
    mapi::ULONG AddRef() override { return ++refs_; }
    mapi::ULONG Release() override { return --refs_; }
    mapi::ULONG OnNotify(mapi::ULONG, mapi::NOTIFICATION* notifications) override {
        if (notifications[0].ulEventType != mapi::fnevObjectCreated) return 0;
        if (notifications[0].info.obj.ulObjType != mapi::MAPI_MESSAGE) return 0;
        std::lock_guard lock(mutex_);
        arrivals_.push_back(Clock::now());
        arrived_.notify_all();
        return 0;
    }
    std::optional<Clock::time_point> WaitFor(std::size_t n, std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        if (!arrived_.wait_for(lock, limit, [&] { return arrivals_.size() >= n; })) return std::nullopt;
        return arrivals_[n - 1];
    }

private:
    std::atomic<mapi::ULONG> refs_{1};
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<Clock::time_point> arrivals_;
};

// notify-latency: milliseconds from each delivery's commit in the deliverer to its notification
// in this process, the notification thread idle before each.
std::vector<double> NotifyLatencies(const std::string& self, const fs::path& device, int deliveries) {
    std::vector<double> latencies;
    TimingSink sink;
    mapi::Ptr<mapi::IMAPISession> session;
    if (mapi::MAPILogonEx(0, nullptr, nullptr, 0, session.Out()) != 0) return latencies;
    mapi::ULONG connection = 0;
    if (session->Advise(0, nullptr, mapi::fnevObjectCreated, &sink, &connection) != 0) return latencies;
    int requests[2], answers[2];
    if (::pipe2(requests, O_CLOEXEC) != 0 || ::pipe2(answers, O_CLOEXEC) != 0) return latencies;
    const pid_t deliverer = Spawn(self, {"--deliverer", device.string()}, requests[0], answers[1]);
    ::close(requests[0]);
    ::close(answers[1]);
    for (int i = 1; i <= deliveries; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(150 + 37 * (i % 5)));
        const char request = 1;
        std::int64_t committed = 0;
        if (::write(requests[1], &request, 1) != 1 || !ReadFully(answers[0], &committed, sizeof committed, 10s)) {
            std::fprintf(stderr, "notify-latency: the deliverer did not deliver\n");
            break;
        }
        const std::optional<Clock::time_point> arrived = sink.WaitFor(static_cast<std::size_t>(i), 10s);
        if (!arrived) {
            std::fprintf(stderr, "notify-latency: delivery %d was not notified\n", i);
            break;
        }
        const Clock::time_point sent{Clock::duration(committed)};
        latencies.push_back(std::chrono::duration<double, std::milli>(*arrived - sent).count());
    }
    ::close(requests[1]);
    Wait(deliverer);
    ::close(answers[0]);
    session->Unadvise(connection);
    session->Logoff(0, 0, 0);
    return latencies;
}

[[noreturn]] void Usage(const char* program) {
    std::fprintf(stderr, "usage: %s [--messages N] [--seed S] [--idle-seconds T] [--dir DIR] [--json]\n", program);
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
    if (argc == 3 && std::string_view(argv[1]) == "--deliverer") return Deliverer(argv[2]);
    std::uint32_t count = 10000;
    std::uint64_t seed = 2008;
    int idleSeconds = 5;
    bool json = false;
    std::optional<fs::path> dir;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--messages" && i + 1 < argc) {
            const std::uint64_t n = Number(argv[++i], argv[0]);
            if (n == 0 || n > 1000000) Usage(argv[0]);
            count = static_cast<std::uint32_t>(n);
        } else if (arg == "--seed" && i + 1 < argc) {
            seed = Number(argv[++i], argv[0]);
        } else if (arg == "--idle-seconds" && i + 1 < argc) {
            const std::uint64_t t = Number(argv[++i], argv[0]);
            if (t > 3600) Usage(argv[0]);
            idleSeconds = static_cast<int>(t);
        } else if (arg == "--dir" && i + 1 < argc) {
            dir = fs::path(argv[++i]);
        } else if (arg == "--json") {
            json = true;
        } else {
            Usage(argv[0]);
        }
    }

    std::string pattern = ((dir ? *dir : fs::temp_directory_path()) / "tallymere-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        Die("cannot make a folder in " + fs::path(pattern).parent_path().string());
    const fs::path base(pattern);
    const fs::path device = base / "device";
    std::string error;
    if (!platform::device::Mount(device, &error)) Die(error);
    std::fprintf(stderr, "seeding %u messages (seed %llu) in %s ...\n", count, static_cast<unsigned long long>(seed),
                 base.c_str());
    {
        phone::Phone phone;
        phone::Seed(phone, count, seed);
    }

    QuietPort port;
    platform::ui::SetPort(&port);
    tallymere::BeginApp(tallymere::StartMode::OneShot);
    const std::u16string outputDir = tallymere::GetRegistryStr(tallymere::kOutputDirValue);

    bool sound = true;
    auto command = [&](const char* name, std::uint32_t number, const std::string& expected) {
        Measure(name, [&] { tallymere::OnCommand(nullptr, number); });
        if (port.lastBox != expected) {
            std::fprintf(stderr, "%s: the box said \"%s\", expected \"%s\"\n", name, port.lastBox.c_str(),
                         expected.c_str());
            sound = false;
        }
    };
    const std::string n = std::to_string(count);

    std::uint32_t read = 0;
    std::uint64_t checksum = 0;
    Measure("floor-read", [&] { checksum = ReadAllFromDatabase(&read); });
    if (read != count) {
        std::fprintf(stderr, "floor-read met %u messages, expected %u\n", read, count);
        sound = false;
    }
    const fs::path floors = base / "floors";
    fs::create_directories(floors);
    FloorInsert(floors / "insert.db");

    command("backup-first", tallymere::kCommandBackupAll, "Message backup was successfull. (" + n + " messages)");
    command("backup-again", tallymere::kCommandBackupAll, "Message backup was successfull. (0 messages)");
    command("export-all", tallymere::kCommandExportAll, n + " messages exported successfully.");
    command("export-again", tallymere::kCommandExportAll, "0 messages exported successfully.");

    const std::uint64_t archiveBytes = fs::file_size(HostPath(outputDir + u"\\Tallymere\\Messages.dat"));
    Measure("floor-write", [&] { WriteOneFile(floors / "Messages.dat", archiveBytes); });
    const Tree exported = Sizes(HostPath(outputDir + u"\\Tallyport"));
    Measure("floor-files", [&] { CreateFiles(floors / "files", exported); });

    DeleteEverything();
    command("restore-extra", tallymere::kCommandRestoreExtra, "Message restore was successfull. (" + n + " messages)");

    std::optional<double> idleCpu;
    std::vector<double> latencies;
    if (idleSeconds > 0) {
        std::fprintf(stderr, "notify-latency ...\n");
        latencies = NotifyLatencies(fs::read_symlink("/proc/self/exe").string(), device, 20);
        if (latencies.empty()) sound = false;
    }
    tallymere::EndApp(tallymere::StartMode::OneShot);
    platform::ui::SetPort(nullptr);
    platform::device::Unmount();
    if (idleSeconds > 0) {
        std::fprintf(stderr, "idle-cpu (%d s) ...\n", idleSeconds);
        idleCpu = IdleCpuPercent(TALLYMERE_CLI, device, idleSeconds);
        if (!idleCpu) sound = false;
    }

    const char* const timed[] = {"backup-first", "backup-again", "export-all",  "export-again", "restore-extra",
                                 "floor-read",   "floor-write",  "floor-files", "floor-insert"};
    struct Ratio {
        const char* name;
        double value;
        double target;
    };
    auto s = [&](const char* name) { return wallSeconds[name]; };
    const Ratio ratios[] = {
        {"ratio-backup-first", s("backup-first") / (s("floor-read") + s("floor-write")), 2.0},
        {"ratio-backup-again", s("backup-again") / (s("floor-read") + s("floor-write")), 2.0},
        {"ratio-export-all", s("export-all") / (s("floor-files") + s("floor-read")), 1.3},
        {"ratio-restore-extra", s("restore-extra") / s("floor-insert"), 1.3},
    };
    const Ratio again[] = {
        {"again-backup", s("backup-again") / s("backup-first"), 0.30},
        {"again-export", s("export-again") / s("export-all"), 0.05},
    };
    std::sort(latencies.begin(), latencies.end());
    const double median = latencies.empty() ? 0
                          : latencies.size() % 2
                              ? latencies[latencies.size() / 2]
                              : (latencies[latencies.size() / 2 - 1] + latencies[latencies.size() / 2]) / 2;

    if (json) {
        nlohmann::json out;
        out["messages"] = count;
        out["seed"] = seed;
        out["sound"] = sound;
        for (const char* name : timed) {
            out["seconds"][name] = wallSeconds[name];
            out["us_per_message"][name] = 1e6 * wallSeconds[name] / count;
            out["cpu_seconds"][name] = cpuSeconds[name];
            out["syncs"][name] = syncCounts[name];
        }
        out["dir"] = base.parent_path().string();
        for (const Ratio& r : ratios) out["ratios"][r.name] = {{"value", r.value}, {"target", r.target}};
        for (const Ratio& r : again) out["again"][r.name] = {{"value", r.value}, {"target", r.target}};
        if (idleCpu) out["idle_cpu_percent"] = *idleCpu;
        if (!latencies.empty()) {
            out["notify_latency_ms"] = {{"median", median}, {"max", latencies.back()}, {"samples", latencies}};
        }
        out["sizes"] = {{"messages_dat_bytes", archiveBytes},
                        {"export_files", exported.files},
                        {"export_bytes", exported.bytes},
                        {"export_directories", exported.directories}};
        std::printf("%s\n", out.dump(2).c_str());
    } else {
        std::printf(
            "# tallymere-bench --messages %u --seed %llu --dir %s: name seconds microseconds-per-message"
            " cpu-seconds syncs\n",
            count, static_cast<unsigned long long>(seed), base.parent_path().c_str());
        for (const char* name : timed) {
            std::printf("%s %.3f %.1f %.3f %llu\n", name, wallSeconds[name], 1e6 * wallSeconds[name] / count,
                        cpuSeconds[name], static_cast<unsigned long long>(syncCounts[name]));
        }
        for (const Ratio& r : ratios) std::printf("%s %.2f %.1f\n", r.name, r.value, r.target);
        for (const Ratio& r : again) std::printf("%s %.3f %.2f\n", r.name, r.value, r.target);
        if (idleCpu) std::printf("idle-cpu %.3f\n", *idleCpu);
        if (!latencies.empty()) std::printf("notify-latency %.2f %.2f\n", median, latencies.back());
    }
    std::fprintf(stderr, "processor seconds:");
    for (const auto& [name, cpu] : cpuSeconds) std::fprintf(stderr, " %s %.3f", name.c_str(), cpu);
    std::fprintf(stderr, "\n");
    std::fprintf(stderr, "Messages.dat %.1f MB; export %llu files, %.1f MB in %llu directories; read checksum %llx\n",
                 archiveBytes / 1e6, static_cast<unsigned long long>(exported.files), exported.bytes / 1e6,
                 static_cast<unsigned long long>(exported.directories), static_cast<unsigned long long>(checksum));

    std::error_code ec;
    fs::remove_all(base, ec);
    return sound ? 0 : 1;
}
