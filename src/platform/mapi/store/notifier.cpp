#include "platform/mapi/store/notifier.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <system_error>

#include "platform/faults.h"
#include "platform/no_destructor.h"
#include "platform/window.h"

namespace platform::mapi::store {

using namespace std::chrono_literals;

namespace {

// How often the thread looks without being woken: where change events work, as a safety net
// only; where they do not, often enough for a prompt delivery.
constexpr std::chrono::milliseconds kSafetyInterval = 1000ms;
std::atomic<std::chrono::milliseconds::rep> safetyInterval{kSafetyInterval.count()};
constexpr auto kPollInterval = 5ms;
// After change events, how often and for how long the thread looks again: an event can come
// before the commit it belongs to is visible to readers.
constexpr auto kSettleInterval = 2ms;
constexpr auto kSettlePeriod = 50ms;
// The change events that tell of a write to a watched file, or of its creation or replacement.
constexpr std::uint32_t kChangeEvents = IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_MOVED_TO | IN_DELETE;
// How long Logoff waits on deliveries before it looks again for sends to run.
constexpr auto kWaitSlice = 10ms;
// Logoff and Unadvise stop waiting for a sink that makes no progress for this long.
constexpr auto kStuck = 5s;
constexpr int kBatch = 256;

Notifier* instance = nullptr;  // for the fork handlers

void Prepare() {
    if (instance) instance->BeforeFork();
}
void Parent() {
    if (instance) instance->AfterForkInParent();
}
void Child() {
    if (instance) instance->AfterForkInChild();
}

}  // namespace

void Notifier::SetSafetyInterval(std::chrono::milliseconds interval) {
    safetyInterval = (interval.count() > 0 ? interval : kSafetyInterval).count();
}

struct Notifier::Watch {
    std::filesystem::path file;
    InstanceId instance{};
    sql::Db db;
    sql::Stmt version;
    sql::Stmt changes;
    std::int64_t lastSeq = 0;
    std::int64_t lastVersion = -1;
    bool ok = false;
};

struct Notifier::Worker {
    std::thread thread;
    std::vector<std::unique_ptr<Watch>> watches;
    int changeFd = -1;                                 // inotify, made by the thread
    std::map<std::filesystem::path, int> directories;  // watched directory -> watch descriptor
    std::map<int, std::vector<std::string>> names;     // watch descriptor -> file names that count
    Worker* nextAbandoned = nullptr;
};

namespace {

// Objects a forked child inherits but cannot use (the parent's thread and the condition
// variables it waited on): kept reachable on purpose, never touched again.
void* abandonedWorkers = nullptr;
void* abandonedSignals = nullptr;

// The process's notifier. It is never destroyed: other threads may still commit changes (and
// so reach it) while the process exits, and its thread may be stuck in a sink then. At exit
// it is only stopped.
struct Holder {
    ~Holder() { living->StopForExit(); }
    NoDestructor<Notifier> living;
};

}  // namespace

Notifier& Notifier::Instance() {
    static Holder holder;
    return *holder.living;
}

Notifier::Notifier() : owner_(::getpid()) {
    instance = this;
    static const bool registered = ::pthread_atfork(&Prepare, &Parent, &Child) == 0;
    (void)registered;
}

Notifier::~Notifier() {
    if (instance == this) instance = nullptr;
}

HRESULT Notifier::Advise(Database& db, ObjectId filter, ULONG eventMask, IMAPIAdviseSink* sink, ULONG* connection) {
    const std::int64_t from = db.CurrentSeq();
    std::lock_guard lock(mutex_);
    Registration r;
    r.connection = nextConnection_;
    r.file = db.File();
    r.instance = db.InstanceBytes();
    r.fromSeq = from;
    r.filter = filter;
    r.mask = eventMask;
    r.sink = sink;
    if (exiting_) return MAPI_E_CALL_FAILED;
    if (!running_) {
        try {
            StartLocked();
        } catch (const std::system_error&) {
            return MAPI_E_CALL_FAILED;
        }
    }
    ++nextConnection_;
    sink->AddRef();
    registrations_.push_back(r);
    poked_ = true;
    WakeLocked();
    *connection = r.connection;
    return S_OK;
}

HRESULT Notifier::Unadvise(ULONG connection) {
    std::unique_lock lock(mutex_);
    auto found = std::find_if(registrations_.begin(), registrations_.end(),
                              [&](const Registration& r) { return r.connection == connection; });
    if (found == registrations_.end()) return MAPI_E_NOT_FOUND;
    IMAPIAdviseSink* sink = found->sink;
    registrations_.erase(found);
    if (std::this_thread::get_id() != threadId_) {
        signals_->progress.wait_for(lock, kStuck, [&] { return inFlight_ != connection; });
    }
    WakeLocked();
    lock.unlock();
    sink->Release();
    return S_OK;
}

void Notifier::Poke() {
    std::lock_guard lock(mutex_);
    if (registrations_.empty()) return;
    poked_ = true;
    if (!running_ && !exiting_) {
        // After a fork the child has no thread yet; it gets one at its first change.
        try {
            StartLocked();
        } catch (const std::system_error&) {
            return;
        }
    }
    WakeLocked();
}

void Notifier::WaitDelivered(const std::filesystem::path& file, std::int64_t seq) {
    if (seq <= 0) return;
    std::unique_lock lock(mutex_);
    if (std::this_thread::get_id() == threadId_) return;
    const auto start = std::chrono::steady_clock::now();
    auto watched = [&] {
        return std::any_of(registrations_.begin(), registrations_.end(),
                           [&](const Registration& r) { return r.file == file; });
    };
    auto ownProgress = start;
    while (running_ && watched()) {
        auto done = delivered_.find(file);
        if (done != delivered_.end() && done->second >= seq) return;
        poked_ = true;
        WakeLocked();
        // A sink may be waiting in a send to a window of this thread, and would deliver nothing
        // more until that message has run: run it here.
        lock.unlock();
        const bool ran = ui::DispatchSentMessages();
        lock.lock();
        if (ran) {
            ownProgress = std::chrono::steady_clock::now();
            continue;
        }
        signals_->progress.wait_for(lock, kWaitSlice);
        if (std::chrono::steady_clock::now() - std::max({lastProgress_, start, ownProgress}) > kStuck) return;
    }
}

void Notifier::Shutdown() {
    std::unique_lock lock(mutex_);
    std::vector<IMAPIAdviseSink*> sinks;
    for (const Registration& r : registrations_) sinks.push_back(r.sink);
    registrations_.clear();
    stop_ = true;
    WakeLocked();
    std::thread finished;
    if (worker_ && std::this_thread::get_id() != threadId_) {
        signals_->progress.wait_for(lock, 2s, [&] { return !running_; });
        if (!running_ && worker_->thread.joinable()) finished = std::move(worker_->thread);
    }
    lock.unlock();
    if (finished.joinable()) finished.join();
    for (IMAPIAdviseSink* sink : sinks) sink->Release();
}

bool Notifier::StopForExit() {
    if (::getpid() != owner_) return false;
    std::unique_lock lock(mutex_);
    exiting_ = true;
    stop_ = true;
    WakeLocked();
    if (!worker_) return true;
    if (std::this_thread::get_id() == threadId_ && running_) return false;
    signals_->progress.wait_for(lock, 1s, [&] { return !running_; });
    if (running_) return false;
    lock.unlock();
    if (worker_->thread.joinable()) {
        if (worker_->thread.get_id() == std::this_thread::get_id()) return false;
        worker_->thread.join();
    }
    return true;
}

void Notifier::BeforeFork() {
    sqliteMutex_.lock();
    mutex_.lock();
}

void Notifier::AfterForkInParent() {
    mutex_.unlock();
    sqliteMutex_.unlock();
}

void Notifier::AfterForkInChild() {
    mutex_.unlock();
    sqliteMutex_.unlock();
    signals_->nextAbandoned = static_cast<Signals*>(abandonedSignals);
    abandonedSignals = signals_.release();
    signals_ = std::make_unique<Signals>();
    // The descriptors are shared with the parent: the child makes its own when it needs them.
    if (wakeFd_ >= 0) ::close(wakeFd_);
    wakeFd_ = -1;
    if (worker_) {
        if (worker_->changeFd >= 0) ::close(worker_->changeFd);
        worker_->changeFd = -1;
        worker_->nextAbandoned = static_cast<Worker*>(abandonedWorkers);
        abandonedWorkers = worker_.release();
    }
    running_ = false;
    stop_ = false;
    poked_ = false;
    inFlight_ = 0;
    threadId_ = std::thread::id();
    delivered_.clear();
    owner_ = ::getpid();
}

void Notifier::StartLocked() {
    if (worker_ && worker_->thread.joinable()) {
        // The previous thread has left its loop; it finishes without the lock.
        worker_->thread.join();
    }
    if (wakeFd_ < 0) {
        wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wakeFd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    }
    auto worker = std::make_unique<Worker>();
    Worker* w = worker.get();
    stop_ = false;
    poked_ = true;
    w->thread = std::thread([this, w] { Run(w); });
    worker_ = std::move(worker);
    threadId_ = w->thread.get_id();
    running_ = true;
}

void Notifier::WakeLocked() {
    if (wakeFd_ < 0) return;
    const std::uint64_t one = 1;
    // A full counter (never, in practice) still wakes the thread: the write is not needed.
    [[maybe_unused]] const ssize_t written = ::write(wakeFd_, &one, sizeof one);
}

bool Notifier::WatchFiles(Worker* worker, const std::vector<std::filesystem::path>& files) {
    if (worker->changeFd < 0) {
        if (faults::Hit("inotify_init1")) return false;
        worker->changeFd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        if (worker->changeFd < 0) return false;
    }
    bool all = true;
    for (const std::filesystem::path& file : files) {
        // The directory is watched rather than the files: the log file comes and goes.
        const std::filesystem::path directory = file.parent_path();
        auto found = worker->directories.find(directory);
        if (found == worker->directories.end()) {
            const int wd = ::inotify_add_watch(worker->changeFd, directory.c_str(), kChangeEvents | IN_ONLYDIR);
            if (wd < 0) {
                all = false;
                continue;
            }
            found = worker->directories.emplace(directory, wd).first;
        }
        std::vector<std::string>& names = worker->names[found->second];
        for (const std::string& name : {file.filename().string(), file.filename().string() + "-wal"}) {
            if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
        }
    }
    return all;
}

bool Notifier::Sleep(Worker* worker, std::chrono::milliseconds timeout) {
    pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {worker->changeFd, POLLIN, 0}};
    const nfds_t count = worker->changeFd >= 0 ? 2 : 1;
    if (::poll(fds, count, static_cast<int>(timeout.count())) <= 0) return false;
    if (fds[0].revents & POLLIN) {
        std::uint64_t wakes = 0;
        [[maybe_unused]] const ssize_t read = ::read(wakeFd_, &wakes, sizeof wakes);
    }
    bool changed = false;
    if (count == 2 && (fds[1].revents & POLLIN)) {
        alignas(inotify_event) char buffer[4096];
        for (;;) {
            const ssize_t got = ::read(worker->changeFd, buffer, sizeof buffer);
            if (got <= 0) break;
            for (ssize_t at = 0; at < got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                if (event->mask & IN_Q_OVERFLOW) {
                    changed = true;
                    continue;
                }
                auto names = worker->names.find(event->wd);
                if (names == worker->names.end() || event->len == 0) continue;
                const std::string name(event->name);
                if (std::find(names->second.begin(), names->second.end(), name) != names->second.end()) changed = true;
            }
        }
    }
    return changed;
}

void Notifier::Run(Worker* worker) {
    std::unique_lock lock(mutex_);
    bool watched = false;  // every store's files have change events
    auto settleUntil = std::chrono::steady_clock::time_point();
    while (!stop_ && !registrations_.empty()) {
        if (!poked_) {
            const auto now = std::chrono::steady_clock::now();
            const auto timeout = !watched            ? kPollInterval
                                 : now < settleUntil ? kSettleInterval
                                                     : std::chrono::milliseconds(safetyInterval.load());
            lock.unlock();
            if (Sleep(worker, timeout)) settleUntil = std::chrono::steady_clock::now() + kSettlePeriod;
            lock.lock();
        }
        if (stop_ || registrations_.empty()) break;
        poked_ = false;
        // The stores to watch, and where a new watch starts reading.
        std::map<std::filesystem::path, std::pair<InstanceId, std::int64_t>> files;
        for (const Registration& r : registrations_) {
            auto [entry, added] = files.try_emplace(r.file, r.instance, r.fromSeq);
            if (!added) entry->second.second = std::min(entry->second.second, r.fromSeq);
        }
        lock.unlock();
        {
            std::vector<std::filesystem::path> paths;
            for (const auto& entry : files) paths.push_back(entry.first);
            watched = WatchFiles(worker, paths);
        }
        {
            std::lock_guard inside(sqliteMutex_);
            std::erase_if(worker->watches, [&](const std::unique_ptr<Watch>& w) { return !files.contains(w->file); });
        }
        for (const auto& entry : files) {
            // Named variables, not a structured binding: a lambda may capture only those
            // before C++20, and clang 14 holds to that.
            const std::filesystem::path& file = entry.first;
            const std::pair<InstanceId, std::int64_t>& start = entry.second;
            auto found = std::find_if(worker->watches.begin(), worker->watches.end(),
                                      [&file](const std::unique_ptr<Watch>& w) { return w->file == file; });
            if (found == worker->watches.end()) {
                std::lock_guard inside(sqliteMutex_);
                auto watch = std::make_unique<Watch>();
                watch->file = file;
                watch->instance = start.first;
                watch->lastSeq = start.second;
                watch->ok = std::filesystem::exists(file) && watch->db.Open(file);
                if (watch->ok) {
                    watch->version = watch->db.Prepare("PRAGMA data_version");
                    watch->changes = watch->db.Prepare(
                        "SELECT seq, event, objtype, obj, parent, oldobj, oldparent FROM changes WHERE seq > ?"
                        " ORDER BY seq LIMIT 256");
                    watch->ok = watch->version.Valid() && watch->changes.Valid();
                }
                found = worker->watches.insert(worker->watches.end(), std::move(watch));
            }
            if ((*found)->ok) PollWatch(**found);
        }
        lock.lock();
    }
    running_ = false;
    signals_->progress.notify_all();
    lock.unlock();
    std::lock_guard inside(sqliteMutex_);
    worker->watches.clear();
    if (worker->changeFd >= 0) ::close(worker->changeFd);
    worker->changeFd = -1;
    worker->directories.clear();
    worker->names.clear();
}

void Notifier::PollWatch(Watch& watch) {
    {
        std::lock_guard inside(sqliteMutex_);
        watch.version.Reset();
        const bool read = watch.version.Step();
        const std::int64_t version = read ? watch.version.Int(0) : -1;
        watch.version.Reset();
        if (!read || version == watch.lastVersion) return;
        watch.lastVersion = version;
    }
    for (;;) {
        std::vector<Change> batch;
        std::unique_lock inside(sqliteMutex_);
        watch.changes.Reset();
        watch.changes.Bind(1, watch.lastSeq);
        while (watch.changes.Step()) {
            Change c;
            c.seq = watch.changes.Int(0);
            c.event = static_cast<ULONG>(watch.changes.Int(1));
            c.kind = static_cast<ULONG>(watch.changes.Int(2));
            c.obj = watch.changes.Int(3);
            c.parent = watch.changes.IsNull(4) ? 0 : watch.changes.Int(4);
            c.oldObj = watch.changes.IsNull(5) ? 0 : watch.changes.Int(5);
            c.oldParent = watch.changes.IsNull(6) ? 0 : watch.changes.Int(6);
            batch.push_back(c);
        }
        watch.changes.Reset();
        inside.unlock();
        for (const Change& c : batch) {
            Deliver(watch, c);
            watch.lastSeq = c.seq;
            std::lock_guard lock(mutex_);
            delivered_[watch.file] = c.seq;
            lastProgress_ = std::chrono::steady_clock::now();
            signals_->progress.notify_all();
        }
        if (batch.size() < static_cast<std::size_t>(kBatch)) break;
    }
    std::lock_guard lock(mutex_);
    std::int64_t& done = delivered_[watch.file];
    done = std::max(done, watch.lastSeq);
    signals_->progress.notify_all();
}

void Notifier::Deliver(const Watch& watch, const Change& change) {
    std::vector<ULONG> targets;
    {
        std::lock_guard lock(mutex_);
        for (const Registration& r : registrations_) {
            if (r.file != watch.file || (r.mask & change.event) == 0 || change.seq <= r.fromSeq) continue;
            if (r.filter != 0 && r.filter != change.obj && r.filter != change.parent && r.filter != change.oldParent) {
                continue;
            }
            targets.push_back(r.connection);
        }
    }
    for (ULONG connection : targets) {
        // The sink is taken only while it is still registered, and held only for the call, so
        // that after Unadvise nothing here keeps it.
        IMAPIAdviseSink* sink = nullptr;
        {
            std::lock_guard lock(mutex_);
            auto found = std::find_if(registrations_.begin(), registrations_.end(),
                                      [&](const Registration& r) { return r.connection == connection; });
            if (found == registrations_.end()) continue;
            sink = found->sink;
            sink->AddRef();
            inFlight_ = connection;
        }
        // Fresh copies for every sink: a sink may scribble on what it is given.
        EntryIdBytes obj = MakeEntryId(watch.instance, change.obj);
        EntryIdBytes parent = MakeEntryId(watch.instance, change.parent);
        EntryIdBytes oldObj = MakeEntryId(watch.instance, change.oldObj);
        EntryIdBytes oldParent = MakeEntryId(watch.instance, change.oldParent);
        NOTIFICATION n;
        n.ulEventType = change.event;
        OBJECT_NOTIFICATION& o = n.info.obj;
        o.ulObjType = change.kind;
        o.cbEntryID = 20;
        o.lpEntryID = obj.data();
        if (change.parent != 0) {
            o.cbParentID = 20;
            o.lpParentID = parent.data();
        }
        if (change.oldObj != 0) {
            o.cbOldID = 20;
            o.lpOldID = oldObj.data();
        }
        if (change.oldParent != 0) {
            o.cbOldParentID = 20;
            o.lpOldParentID = oldParent.data();
        }
        sink->OnNotify(1, &n);
        sink->Release();
        std::lock_guard lock(mutex_);
        inFlight_ = 0;
        lastProgress_ = std::chrono::steady_clock::now();
        signals_->progress.notify_all();
    }
}

}  // namespace platform::mapi::store
