// The executive pool: tracked allocations with call sites, fault injection, and a quarantine
// of freed blocks that catches double frees and freed buffers handed back to the kernel.
//
// New blocks are filled with 0xAB and freed ones with 0xDD, so code that reads memory it never
// wrote, or memory it already gave back, sees an unmistakable pattern.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "kernel.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KDX_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define KDX_ADDRESS_SANITIZER 1
#endif
#ifdef KDX_ADDRESS_SANITIZER
#include <sanitizer/asan_interface.h>
#else
#define ASAN_POISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#endif

using namespace host;

namespace {

constexpr size_t kQuarantineBlocks = 4096;
constexpr size_t kQuarantineBytes = 16 << 20;
constexpr unsigned char kFreshFill = 0xAB;

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

void QuarantineMemory(void* address, size_t size)
{
    memset(address, kFreedFill, size);
    ASAN_POISON_MEMORY_REGION(address, size);
}

namespace {

// The first byte that is not the fill, compared a chunk at a time.
size_t FirstChangedByte(const void* address, size_t size)
{
    static const auto kFill = [] {
        std::array<unsigned char, 256> fill{};
        fill.fill(kFreedFill);
        return fill;
    }();
    const auto* bytes = static_cast<const unsigned char*>(address);
    for (size_t start = 0; start < size; start += kFill.size()) {
        size_t length = std::min(kFill.size(), size - start);
        if (memcmp(bytes + start, kFill.data(), length) == 0) continue;
        for (size_t i = start;; i++) {
            if (bytes[i] != kFreedFill) return i;
        }
    }
    return SIZE_MAX;
}

}  // namespace

size_t ReleaseQuarantinedMemory(void* address, size_t size)
{
    ASAN_UNPOISON_MEMORY_REGION(address, size);
    return FirstChangedByte(address, size);
}

size_t QuarantinedMemoryChangedAt(const void* address, size_t size)
{
#ifdef KDX_ADDRESS_SANITIZER
    (void)address;
    (void)size;
    return SIZE_MAX;
#else
    return FirstChangedByte(address, size);
#endif
}

std::string FreedSites(const CallSite& allocated, const CallSite& freed)
{
    return "\n  allocated by " + allocated.Describe() + "\n  freed by " + freed.Describe();
}

void ReportWriteAfterFree(const std::string& what, size_t offset, const CallSite& allocated,
                          const CallSite& freed)
{
    ReportViolation(Rule::PoolWriteAfterFree, what + " was written after it was freed (byte " +
                                                  std::to_string(offset) + " changed)." +
                                                  FreedSites(allocated, freed));
}

#ifdef KDX_ADDRESS_SANITIZER
namespace {

// AddressSanitizer reports any access to quarantined memory as use-after-poison, with its own
// stacks but not the sites the host knows: this adds them after its report when the address
// lies in a freed pool block or IRP.
void AddFreedSitesToReport(const char*)
{
    Kernel* kernel = Kernel::CurrentOrNull();
    void* address = __asan_get_report_address();
    if (kernel == nullptr || address == nullptr) return;
    std::string freed = kernel->pool.DescribeFreedBlockAt(address);
    if (freed.empty()) freed = kernel->io.DescribeFreedIrpAt(address);
    if (freed.empty()) return;
    fprintf(stderr, "HOST VERIFIER: address %s lies in %s\n", Hex(address).c_str(), freed.c_str());
}

}  // namespace
#endif

Pool::Pool()
{
#ifdef KDX_ADDRESS_SANITIZER
    __asan_set_error_report_callback(AddFreedSitesToReport);
#endif
}

Pool::~Pool()
{
    for (auto& [address, block] : quarantine_) CheckFreed(address, block);
    for (auto& [address, block] : live_) free(address);
    for (auto& [address, block] : quarantine_) free(reinterpret_cast<void*>(address));
}

void Pool::CheckFreed(uintptr_t address, const Block& block)
{
    size_t offset = ReleaseQuarantinedMemory(reinterpret_cast<void*>(address), block.size);
    if (offset != SIZE_MAX) {
        ReportWriteAfterFree("Pool block " + Hex(reinterpret_cast<void*>(address)) + " of " +
                                 std::to_string(block.size) + " bytes",
                             offset, block.site, block.freeSite);
    }
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

PVOID Pool::Allocate(POOL_TYPE type, SIZE_T size, const CallSite& site, std::optional<ULONG> tag)
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
    live_[address] = Block{size, type, site, ++serial_, thread.executingDriver, tag, CallSite{}};
    return address;
}

void Pool::Free(PVOID block, const CallSite& site, std::optional<ULONG> tag)
{
    HostThread& thread = CurrentThread();
    std::unique_lock<std::mutex> lock(mutex_);
    auto it = live_.find(block);
    if (it == live_.end()) {
        auto freed = quarantine_.find(reinterpret_cast<uintptr_t>(block));
        bool wasFreed = freed != quarantine_.end();
        std::string details = site.Describe() + " freed " + Hex(block) + ".";
        if (wasFreed) {
            details += " The block was allocated by " + freed->second.site.Describe() +
                       " and is already free (freed by " + freed->second.freeSite.Describe() + ").";
        }
        lock.unlock();
        ReportViolation(wasFreed ? Rule::PoolDoubleFree : Rule::PoolFreeUnknownBlock, details);
    }
    Block& live = it->second;
    auto what = [&] {
        return "Block " + Hex(block) + " of " + std::to_string(live.size) + " bytes of " +
               (IsPaged(live.type) ? "paged" : "non-paged") + " pool, allocated by " +
               live.site.Describe() + ", freed by " + site.Describe();
    };
    if (IsPaged(live.type) && thread.irql > APC_LEVEL) {
        lock.unlock();
        ReportViolation(Rule::PagedPoolFreedAtDispatchLevel,
                        what() + " at IRQL " + std::to_string(thread.irql) + ".");
    }
    if (thread.irql > DISPATCH_LEVEL) {
        lock.unlock();
        RequireIrqlAtMost("ExFreePool", DISPATCH_LEVEL);
    }
    if (tag && live.tag && *tag != *live.tag) {
        lock.unlock();
        ReportViolation(Rule::PoolFreedWithWrongTag, what() + " with tag " + Hex(uint64_t(*tag)) +
                                                         "; it was allocated with " +
                                                         Hex(uint64_t(*live.tag)) + ".");
    }
    Block freedBlock = live;
    freedBlock.freeSite = site;
    live_.erase(it);
    QuarantineMemory(block, freedBlock.size);
    quarantine_[reinterpret_cast<uintptr_t>(block)] = freedBlock;
    quarantineOrder_.push_back(block);
    quarantineBytes_ += freedBlock.size;
    EvictQuarantine();
    lock.unlock();
    Kernel::Current().locks.Forget(block, freedBlock.size);
}

void Pool::EvictQuarantine()
{
    while (quarantineOrder_.size() > kQuarantineBlocks || quarantineBytes_ > kQuarantineBytes) {
        void* oldest = quarantineOrder_.front();
        quarantineOrder_.pop_front();
        auto it = quarantine_.find(reinterpret_cast<uintptr_t>(oldest));
        CheckFreed(it->first, it->second);
        quarantineBytes_ -= it->second.size;
        quarantine_.erase(it);
        free(oldest);
    }
}

std::map<uintptr_t, Pool::Block>::const_iterator Pool::FreedBlockAt(uintptr_t start,
                                                                    size_t length) const
{
    auto it = quarantine_.upper_bound(start);
    if (it == quarantine_.begin()) return quarantine_.end();
    --it;
    bool overlaps = start + length > it->first && start < it->first + it->second.size;
    return overlaps ? it : quarantine_.end();
}

bool Pool::IsFreedMemory(const void* address, size_t length, std::string* site) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = FreedBlockAt(reinterpret_cast<uintptr_t>(address), length);
    if (it == quarantine_.end()) return false;
    if (site != nullptr) *site = it->second.site.Describe();
    return true;
}

std::string Pool::DescribeFreedBlockAt(const void* address) const
{
    std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) return "";
    auto it = FreedBlockAt(reinterpret_cast<uintptr_t>(address), 1);
    if (it == quarantine_.end()) return "";
    return "pool block " + Hex(reinterpret_cast<void*>(it->first)) + " of " +
           std::to_string(it->second.size) + " bytes, which was freed." +
           FreedSites(it->second.site, it->second.freeSite);
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
#undef ExFreePool
#undef ExFreePoolWithTag

extern "C" PVOID HostAllocatePoolWithTagAt(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag,
                                           const char* file, int line, const char* function)
{
    return Kernel::Current().pool.Allocate(poolType, numberOfBytes, CallSite{file, line, function},
                                           tag);
}

extern "C" PVOID HostAllocatePoolAt(POOL_TYPE poolType, SIZE_T numberOfBytes, const char* file,
                                    int line, const char* function)
{
    return HostAllocatePoolWithTagAt(poolType, numberOfBytes, kUntaggedPoolTag, file, line,
                                     function);
}

extern "C" PVOID ExAllocatePool(POOL_TYPE poolType, SIZE_T numberOfBytes)
{
    return HostAllocatePoolAt(poolType, numberOfBytes, "", 0, "ExAllocatePool");
}

extern "C" PVOID ExAllocatePoolWithTag(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag)
{
    return HostAllocatePoolWithTagAt(poolType, numberOfBytes, tag, "", 0, "ExAllocatePoolWithTag");
}

extern "C" VOID HostFreePoolAt(PVOID block, const char* file, int line, const char* function)
{
    Kernel::Current().pool.Free(block, CallSite{file, line, function});
}

extern "C" VOID HostFreePoolWithTagAt(PVOID block, ULONG tag, const char* file, int line,
                                      const char* function)
{
    Kernel::Current().pool.Free(block, CallSite{file, line, function}, tag);
}

extern "C" VOID ExFreePool(PVOID block) { HostFreePoolAt(block, "", 0, "ExFreePool"); }

extern "C" VOID ExFreePoolWithTag(PVOID block, ULONG tag)
{
    HostFreePoolWithTagAt(block, tag, "", 0, "ExFreePoolWithTag");
}
