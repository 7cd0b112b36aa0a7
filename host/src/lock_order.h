// Spin-lock ordering and holders: the verifier's deadlock detection and spin-lock hang reports.
//
// Each time a thread takes spin lock B while it holds spin lock A, the edge A -> B is recorded
// (by lock address, with the acquire sites of the first time the pair was seen). The first
// edge that closes a cycle is reported: two code paths that take the same locks in opposite
// orders deadlock when they run at the same time, whether or not they did in this run. The
// holder of each lock is recorded with its acquire site, so a thread that spins on a lock for
// too long can name who holds it.
#pragma once

#include <wdm.h>

#include <chrono>
#include <map>
#include <mutex>
#include <string>

#include "scheduler.h"
#include "verifier.h"

namespace host {

class LockOrder {
public:
    // `thread` is about to spin for `lock` while holding the locks in its held list.
    void BeforeAcquire(const HostThread& thread, const KSPIN_LOCK* lock, const CallSite& site);
    // `thread` now holds `lock`, taken at `site`.
    void Acquired(const HostThread& thread, const KSPIN_LOCK* lock, const CallSite& site);
    void Released(const KSPIN_LOCK* lock);
    // Forgets the ordering history and holder of every lock in [start, start + length): the
    // memory holding them is initialised again or freed, and may hold another lock next.
    void Forget(const void* start, size_t length);
    // "spin lock 0x... taken by F (file:line)" for each lock the thread holds, one a line.
    std::string DescribeHeld(const HostThread& thread) const;
    // Reports a thread that has spun on `lock` for `seconds`, naming the holder.
    [[noreturn]] void ReportHang(const KSPIN_LOCK* lock, double seconds) const;

private:
    struct Edge {
        CallSite heldSite;     // where the lock already held was taken
        CallSite acquireSite;  // where the next lock was taken while holding it
        std::string thread;
    };
    struct Holder {
        std::string thread;
        CallSite site;
    };
    bool FindPath(uintptr_t from, uintptr_t to, std::vector<uintptr_t>* path) const;
    std::string DescribeEdge(uintptr_t from, uintptr_t to, const Edge& edge) const;

    mutable std::mutex mutex_;
    std::map<uintptr_t, std::map<uintptr_t, Edge>> edges_;  // held lock -> lock taken next
    std::map<uintptr_t, Holder> holders_;
};

// Watches one spin loop: every so many spins it reads the monotonic clock, and past a second
// it reports the hang instead of spinning on.
class SpinWatch {
public:
    explicit SpinWatch(const KSPIN_LOCK* lock) : lock_(lock) {}
    void Spun();

private:
    const KSPIN_LOCK* lock_;
    uint32_t spins_ = 0;
    std::chrono::steady_clock::time_point since_{};
};

}  // namespace host
