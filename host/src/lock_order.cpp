// Spin-lock ordering and holders (see lock_order.h).
#include "lock_order.h"

#include <algorithm>
#include <vector>

#include "kernel.h"

namespace host {

namespace {

constexpr uint32_t kSpinsBetweenClockReads = 4096;
constexpr double kSpinHangSeconds = 1.0;

uintptr_t Key(const void* lock) { return reinterpret_cast<uintptr_t>(lock); }

}  // namespace

void LockOrder::BeforeAcquire(const HostThread& thread, const KSPIN_LOCK* lock,
                              const CallSite& site)
{
    if (thread.heldLockCount == 0) return;
    std::lock_guard<std::mutex> guard(mutex_);
    for (int i = 0; i < thread.heldLockCount; i++) {
        uintptr_t held = Key(thread.heldLocks[i]);
        if (held == Key(lock)) continue;
        auto& next = edges_[held];
        if (next.count(Key(lock)) != 0) continue;
        auto holder = holders_.find(held);
        Edge edge{holder != holders_.end() ? holder->second.site : CallSite{}, site, thread.name};
        next.emplace(Key(lock), edge);
        std::vector<uintptr_t> path;
        if (!FindPath(Key(lock), held, &path)) continue;
        // The new edge held -> lock closes the cycle lock -> ... -> held.
        std::string details = "Spin lock " + Hex(lock) + " was acquired while holding " +
                              Hex(reinterpret_cast<const void*>(held)) + ":\n" +
                              DescribeEdge(held, Key(lock), edge) +
                              "but the locks were also taken in the opposite order:\n";
        for (size_t j = 0; j + 1 < path.size(); j++) {
            details += DescribeEdge(path[j], path[j + 1], edges_[path[j]].at(path[j + 1]));
        }
        ReportViolation(Rule::SpinLockOrderDeadlock, details);
    }
}

// Depth-first search along recorded edges; `path` receives from ... to.
bool LockOrder::FindPath(uintptr_t from, uintptr_t to, std::vector<uintptr_t>* path) const
{
    path->push_back(from);
    if (from == to) return true;
    auto it = edges_.find(from);
    if (it != edges_.end()) {
        for (const auto& [next, edge] : it->second) {
            if (std::find(path->begin(), path->end(), next) != path->end()) continue;
            if (FindPath(next, to, path)) return true;
        }
    }
    path->pop_back();
    return false;
}

std::string LockOrder::DescribeEdge(uintptr_t from, uintptr_t to, const Edge& edge) const
{
    return "  " + edge.thread + " took " + Hex(reinterpret_cast<const void*>(from)) + " at " +
           edge.heldSite.Describe() + ", then " + Hex(reinterpret_cast<const void*>(to)) + " at " +
           edge.acquireSite.Describe() + "\n";
}

void LockOrder::Acquired(const HostThread& thread, const KSPIN_LOCK* lock, const CallSite& site)
{
    std::lock_guard<std::mutex> guard(mutex_);
    holders_[Key(lock)] = Holder{thread.name, site};
}

void LockOrder::Released(const KSPIN_LOCK* lock)
{
    std::lock_guard<std::mutex> guard(mutex_);
    holders_.erase(Key(lock));
}

void LockOrder::Forget(const void* start, size_t length)
{
    uintptr_t first = Key(start);
    uintptr_t end = first + length;
    std::lock_guard<std::mutex> guard(mutex_);
    if (edges_.empty() && holders_.empty()) return;
    edges_.erase(edges_.lower_bound(first), edges_.lower_bound(end));
    for (auto& [from, next] : edges_) next.erase(next.lower_bound(first), next.lower_bound(end));
    holders_.erase(holders_.lower_bound(first), holders_.lower_bound(end));
}

std::string LockOrder::DescribeHeld(const HostThread& thread) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    std::string text;
    for (int i = 0; i < thread.heldLockCount; i++) {
        auto holder = holders_.find(Key(thread.heldLocks[i]));
        text += "  spin lock " + Hex(thread.heldLocks[i]) + " taken at " +
                (holder != holders_.end() ? holder->second.site.Describe() : "an unknown site") +
                "\n";
    }
    return text;
}

void LockOrder::ReportHang(const KSPIN_LOCK* lock, double seconds) const
{
    std::string holder = "no recorded holder";
    {
        std::lock_guard<std::mutex> guard(mutex_);
        auto it = holders_.find(Key(lock));
        if (it != holders_.end()) {
            holder = "held by " + it->second.thread + ", taken at " + it->second.site.Describe();
        }
    }
    ReportViolation(Rule::SpinLockHang, "Spun " + std::to_string(int(seconds)) +
                                            " s on spin lock " + Hex(lock) + ", " + holder + ".");
}

void SpinWatch::Spun()
{
    if (++spins_ % kSpinsBetweenClockReads != 0) return;
    auto now = std::chrono::steady_clock::now();
    if (since_ == std::chrono::steady_clock::time_point{}) {
        since_ = now;
        return;
    }
    double seconds = std::chrono::duration<double>(now - since_).count();
    if (seconds > kSpinHangSeconds) Kernel::Current().locks.ReportHang(lock_, seconds);
}

}  // namespace host
