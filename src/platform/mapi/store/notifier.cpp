#include "platform/mapi/store/notifier.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <system_error>

#include "platform/window.h"

namespace platform::mapi::store {

using namespace std::chrono_literals;

namespace {

constexpr auto kPollInterval = 5ms;
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
    Worker* nextAbandoned = nullptr;
};

namespace {

// Objects a forked child inherits but cannot use (the parent's thread and the condition
// variables it waited on): kept reachable on purpose, never touched again.
void* abandonedWorkers = nullptr;
void* abandonedSignals = nullptr;

// The process's notifier. It is never destroyed: other threads may still commit changes (and
// so reach it) while the process exits, and its thread may be stuck in a sink then.
Notifier* living = nullptr;

struct Holder {
    Holder() { living = std::make_unique<Notifier>().release(); }
    ~Holder() { living->StopForExit(); }
};

}  // namespace

Notifier& Notifier::Instance() {
    static Holder holder;
    return *living;
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
    signals_->wake.notify_all();
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
    signals_->wake.notify_all();
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
    signals_->wake.notify_all();
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
        signals_->wake.notify_all();
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
    signals_->wake.notify_all();
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
    signals_->wake.notify_all();
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
    if (worker_) {
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
    auto worker = std::make_unique<Worker>();
    Worker* w = worker.get();
    stop_ = false;
    poked_ = true;
    w->thread = std::thread([this, w] { Run(w); });
    worker_ = std::move(worker);
    threadId_ = w->thread.get_id();
    running_ = true;
}

void Notifier::Run(Worker* worker) {
    std::unique_lock lock(mutex_);
    while (!stop_ && !registrations_.empty()) {
        if (!poked_) signals_->wake.wait_for(lock, kPollInterval);
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
            std::lock_guard inside(sqliteMutex_);
            std::erase_if(worker->watches, [&](const std::unique_ptr<Watch>& w) { return !files.contains(w->file); });
        }
        for (const auto& [file, start] : files) {
            auto found = std::find_if(worker->watches.begin(), worker->watches.end(),
                                      [&](const std::unique_ptr<Watch>& w) { return w->file == file; });
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
