// The notification thread of the process: it reads the change log of every store that has a
// registered sink and calls the sinks, one notification per call, in log order.
//
// The thread starts with the first registration and ends when none is left, at the last
// MAPIUninitialize or at process exit. It sleeps until something can have changed: a change
// committed in this process wakes it at once, and another process's change wakes it through
// the file system's change events (inotify) on the database and its write-ahead log. Then it
// makes a cheap check of whether the database changed and reads the log. An event may come
// just before the change it belongs to is visible, so for a short while after events the
// thread looks again every few milliseconds; otherwise it looks on its own only once a second.
// Changes of other processes so reach the sinks within milliseconds, and an idle process
// costs next to nothing. Where no change events can be had, it looks every few milliseconds.
#pragma once

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <sys/types.h>

#include "platform/mapi/interfaces.h"
#include "platform/mapi/store/database.h"

namespace platform::mapi::store {

class Notifier {
public:
    // The process's notifier (made at first use, kept until the process has ended).
    static Notifier& Instance();

    Notifier();
    ~Notifier();
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    // Registers `sink` (one reference taken) for changes of `db`'s store made from now on;
    // `filter` other than 0 limits it to that object and the objects directly in it.
    HRESULT Advise(Database& db, ObjectId filter, ULONG eventMask, IMAPIAdviseSink* sink, ULONG* connection);
    HRESULT Unadvise(ULONG connection);
    // A change was committed in this process: look at the log now.
    void Poke();
    // Returns once every change of `file` up to `seq` has been delivered to the sinks (see
    // IMAPISession::Logoff for when it returns earlier).
    void WaitDelivered(const std::filesystem::path& file, std::int64_t seq);
    // Drops every registration and stops the thread.
    void Shutdown();
    // At process exit: stops and joins the thread; false when it cannot be joined (it is this
    // thread, it is stuck in a sink for a second, or it belongs to the parent of a forked
    // process) and is left to end with the process.
    bool StopForExit();

    // How long the thread sleeps unwoken where change events work (one second; 0 sets that
    // again). For tests that must tell a wake by a change event from the safety poll.
    static void SetSafetyInterval(std::chrono::milliseconds interval);

    // Fork handlers: the child has no notification thread.
    void BeforeFork();
    void AfterForkInParent();
    void AfterForkInChild();

private:
    struct Registration {
        ULONG connection = 0;
        std::filesystem::path file;
        InstanceId instance{};
        std::int64_t fromSeq = 0;
        ObjectId filter = 0;
        ULONG mask = 0;
        IMAPIAdviseSink* sink = nullptr;
    };
    struct Change {
        std::int64_t seq = 0;
        ULONG event = 0;
        ULONG kind = 0;
        ObjectId obj = 0, parent = 0, oldObj = 0, oldParent = 0;
    };
    struct Watch;
    struct Worker;

    void StartLocked();
    // Wakes the thread (with mutex_ held).
    void WakeLocked();
    // Sleeps until woken, until a change event of a watched file, or until `timeout`; true when
    // change events came.
    bool Sleep(Worker* worker, std::chrono::milliseconds timeout);
    // Keeps a change-event watch on the directory of every file in `files`; false when some
    // file has none (it must then be looked at often).
    bool WatchFiles(Worker* worker, const std::vector<std::filesystem::path>& files);
    void Run(Worker* worker);
    void PollWatch(Watch& watch);
    void Deliver(const Watch& watch, const Change& change);

    // Condition variables in a block of their own: a forked child gets fresh ones, since the
    // parent's notification thread may have been waiting on them at the fork.
    struct Signals {
        std::condition_variable progress;  // waiters for deliveries, in-flight calls and the thread's end
        Signals* nextAbandoned = nullptr;
    };

    std::mutex mutex_;
    // Held by the thread while it is inside SQLite (never while calling a sink), and by a fork:
    // a child must not start with SQLite's own locks taken by a thread it does not have.
    std::mutex sqliteMutex_;
    std::unique_ptr<Signals> signals_ = std::make_unique<Signals>();
    std::vector<Registration> registrations_;
    ULONG nextConnection_ = 1;
    std::unique_ptr<Worker> worker_;
    std::thread::id threadId_;
    bool running_ = false;
    bool stop_ = false;
    bool exiting_ = false;  // the process is ending: no thread starts any more
    bool poked_ = false;
    int wakeFd_ = -1;     // an eventfd the thread sleeps on besides its change events
    ULONG inFlight_ = 0;  // the registration whose sink is being called
    std::map<std::filesystem::path, std::int64_t> delivered_;
    std::chrono::steady_clock::time_point lastProgress_;
    pid_t owner_;
};

}  // namespace platform::mapi::store
