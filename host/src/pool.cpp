// The executive pool: tracked allocations with call sites, fault injection, and a quarantine
// of freed blocks that catches double frees and freed buffers handed back to the kernel.
//
// New blocks are filled with 0xAB and freed ones with 0xDD, so code that reads memory it never
// wrote, or memory it already gave back, sees an unmistakable pattern.
#include <cstdlib>
#include <sstream>

#include "kernel.h"

using namespace host;

namespace {

constexpr size_t kQuarantineBlocks = 4096;
constexpr size_t kQuarantineBytes = 16 << 20;
constexpr unsigned char kFreshFill = 0xAB;
constexpr unsigned char kFreedFill = 0xDD;

std::string FileName(const char* path)
{
    std::string text(path);
    size_t slash = text.find_last_of('/');
    return slash == std::string::npos ? text : text.substr(slash + 1);
}

bool IsPaged(POOL_TYPE type) { return (type & 1) != 0 && type != NonPagedPoolNx; }

}  // namespace

namespace host {

std::string CallSite::Describe() const
{
    if (line == 0) return function;
    return std::string(function) + " (" + FileName(file) + ":" + std::to_string(line) + ")";
}

Pool::~Pool()
{
    for (auto& [address, block] : live_) free(address);
    for (auto& [address, block] : quarantine_) free(reinterpret_cast<void*>(address));
}

bool Pool::ShouldFail(const CallSite& site)
{
    std::lock_guard<std::mutex> guard(mutex_);
    attempts_++;
    bool fail = false;
    if (failNth_ != 0 && attempts_ == failNth_) {
        fail = true;
        failNth_ = 0;
    }
    if (!failSites_.empty()) {
        std::string location = FileName(site.file) + ":" + std::to_string(site.line);
        fail = fail || failSites_.count(site.function) != 0 || failSites_.count(location) != 0;
    }
    if (fail) failed_++;
    return fail;
}

PVOID Pool::Allocate(POOL_TYPE type, SIZE_T size, const CallSite& site)
{
    HostThread& thread = CurrentThread();
    if (IsPaged(type) && thread.irql > APC_LEVEL) {
        ReportViolation(Rule::PagedPoolAtDispatchLevel,
                        "Allocation of " + std::to_string(size) + " bytes of paged pool by " +
                            site.Describe() + " at IRQL " + std::to_string(thread.irql) + ".");
    }
    if (ShouldFail(site)) return nullptr;
    void* address = malloc(size == 0 ? 1 : size);
    if (address == nullptr) return nullptr;
    memset(address, kFreshFill, size);
    std::lock_guard<std::mutex> guard(mutex_);
    live_[address] = Block{size, type, site, ++serial_, thread.executingDriver};
    return address;
}

void Pool::Free(PVOID block, const char* routine)
{
    std::unique_lock<std::mutex> lock(mutex_);
    auto it = live_.find(block);
    if (it == live_.end()) {
        auto freed = quarantine_.find(reinterpret_cast<uintptr_t>(block));
        bool wasFreed = freed != quarantine_.end();
        std::string details = std::string(routine) + " was given " + Hex(block) + ".";
        if (wasFreed) {
            details += " The block was allocated by " + freed->second.site.Describe() +
                       " and is already free.";
        }
        lock.unlock();
        ReportViolation(wasFreed ? Rule::PoolDoubleFree : Rule::PoolFreeUnknownBlock, details);
    }
    Block freedBlock = it->second;
    live_.erase(it);
    memset(block, kFreedFill, freedBlock.size);
    quarantine_[reinterpret_cast<uintptr_t>(block)] = freedBlock;
    quarantineOrder_.push_back(block);
    quarantineBytes_ += freedBlock.size;
    EvictQuarantine();
}

void Pool::EvictQuarantine()
{
    while (quarantineOrder_.size() > kQuarantineBlocks || quarantineBytes_ > kQuarantineBytes) {
        void* oldest = quarantineOrder_.front();
        quarantineOrder_.pop_front();
        auto it = quarantine_.find(reinterpret_cast<uintptr_t>(oldest));
        quarantineBytes_ -= it->second.size;
        quarantine_.erase(it);
        free(oldest);
    }
}

bool Pool::IsFreedMemory(const void* address, size_t length, std::string* site) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    uintptr_t start = reinterpret_cast<uintptr_t>(address);
    auto it = quarantine_.upper_bound(start);
    if (it == quarantine_.begin()) return false;
    --it;
    if (start + length > it->first && start < it->first + it->second.size) {
        if (site != nullptr) *site = it->second.site.Describe();
        return true;
    }
    return false;
}

void Pool::FailNthAllocation(uint64_t n)
{
    std::lock_guard<std::mutex> guard(mutex_);
    failNth_ = n == 0 ? 0 : attempts_ + n;
}

void Pool::FailAllocationsFrom(const std::string& site)
{
    std::lock_guard<std::mutex> guard(mutex_);
    failSites_.insert(site);
}

void Pool::ClearFaults()
{
    std::lock_guard<std::mutex> guard(mutex_);
    failNth_ = 0;
    failSites_.clear();
}

uint64_t Pool::AllocationAttempts() const
{
    std::lock_guard<std::mutex> guard(mutex_);
    return attempts_;
}

uint64_t Pool::TotalAllocations() const
{
    std::lock_guard<std::mutex> guard(mutex_);
    return serial_;
}

uint64_t Pool::FailedAllocations() const
{
    std::lock_guard<std::mutex> guard(mutex_);
    return failed_;
}

Pool::Outstanding Pool::OutstandingBlocks() const { return Collect(true, nullptr); }

Pool::Outstanding Pool::OutstandingBlocks(PDRIVER_OBJECT owner) const
{
    return Collect(false, owner);
}

Pool::Outstanding Pool::Collect(bool all, PDRIVER_OBJECT owner) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    Outstanding result;
    std::map<uint64_t, std::string> bySerial;
    for (const auto& [address, block] : live_) {
        if (!all && block.owner != owner) continue;
        result.count++;
        result.bytes += block.size;
        std::ostringstream line;
        line << "  " << Hex(address) << ": " << block.size << " bytes of "
             << (IsPaged(block.type) ? "paged" : "non-paged") << " pool from "
             << block.site.Describe() << "\n";
        bySerial[block.serial] = line.str();
    }
    for (const auto& [serial, line] : bySerial) result.listing += line;
    return result;
}

}  // namespace host

// ---------------------------------------------------------------------------------------------
// Kernel routines
// ---------------------------------------------------------------------------------------------
#undef ExAllocatePool
#undef ExAllocatePoolWithTag

extern "C" PVOID HostAllocatePoolAt(POOL_TYPE poolType, SIZE_T numberOfBytes, const char* file,
                                    int line, const char* function)
{
    return Kernel::Current().pool.Allocate(poolType, numberOfBytes, CallSite{file, line, function});
}

extern "C" PVOID ExAllocatePool(POOL_TYPE poolType, SIZE_T numberOfBytes)
{
    return HostAllocatePoolAt(poolType, numberOfBytes, "", 0, "ExAllocatePool");
}

extern "C" PVOID ExAllocatePoolWithTag(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag)
{
    (void)tag;
    return HostAllocatePoolAt(poolType, numberOfBytes, "", 0, "ExAllocatePoolWithTag");
}

extern "C" VOID ExFreePool(PVOID block) { Kernel::Current().pool.Free(block, "ExFreePool"); }

extern "C" VOID ExFreePoolWithTag(PVOID block, ULONG tag)
{
    (void)tag;
    Kernel::Current().pool.Free(block, "ExFreePoolWithTag");
}
