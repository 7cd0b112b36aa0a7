// The executive pool: fault injection by count and by call site, paged and non-paged pool by
// IRQL, and the fill patterns of new and freed blocks.
#include <gtest/gtest.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

#include <string>

#include "support/test_driver.h"

using namespace hosttest;

namespace {

PVOID AllocateForReceiveBuffer() { return ExAllocatePool(NonPagedPool, 64); }
PVOID AllocateForTransmitBuffer() { return ExAllocatePool(NonPagedPool, 64); }

void FreeIfAllocated(PVOID block)
{
    if (block != nullptr) ExFreePool(block);
}

}  // namespace

TEST(PoolFaults, FailNthAllocationFailsOnlyThatAttemptCountingIrps)
{
    host::Host host;
    host.pool().FailNthAllocation(2);
    PVOID first = ExAllocatePool(NonPagedPool, 16);
    PVOID second = ExAllocatePool(NonPagedPool, 16);
    PIRP third = IoAllocateIrp(1, FALSE);
    EXPECT_NE(nullptr, first) << "attempt 1";
    EXPECT_EQ(nullptr, second) << "attempt 2";
    EXPECT_NE(nullptr, third) << "attempt 3";
    host.pool().FailNthAllocation(1);
    PIRP fourth = IoAllocateIrp(1, FALSE);
    EXPECT_EQ(nullptr, fourth) << "an IRP allocation is an attempt too";
    EXPECT_EQ(2u, host.pool().FailedAllocations());
    FreeIfAllocated(first);
    FreeIfAllocated(second);
    if (third != nullptr) IoFreeIrp(third);
}

TEST(PoolFaults, FailAllocationsFromAFunctionFailsEveryCallFromIt)
{
    host::Host host;
    host.pool().FailAllocationsFrom("AllocateForReceiveBuffer");
    for (int i = 0; i < 3; i++) {
        PVOID receive = AllocateForReceiveBuffer();
        PVOID transmit = AllocateForTransmitBuffer();
        EXPECT_EQ(nullptr, receive) << "call " << i << " from the failing function";
        EXPECT_NE(nullptr, transmit) << "call " << i << " from another function";
        FreeIfAllocated(receive);
        FreeIfAllocated(transmit);
    }
    host.pool().ClearFaults();
    PVOID receive = AllocateForReceiveBuffer();
    EXPECT_NE(nullptr, receive) << "after ClearFaults";
    FreeIfAllocated(receive);
}

TEST(PoolFaults, FailAllocationsFromAFileAndLineFailsOnlyThatLine)
{
    host::Host host;
    int line = __LINE__ + 2;
    auto allocate = [](bool first) {
        if (first) return ExAllocatePool(NonPagedPool, 8);
        return ExAllocatePool(NonPagedPool, 8);
    };
    host.pool().FailAllocationsFrom("pool_test.cpp:" + std::to_string(line));
    PVOID failing = allocate(true);
    PVOID working = allocate(false);
    EXPECT_EQ(nullptr, failing) << "allocation at pool_test.cpp:" << line;
    EXPECT_NE(nullptr, working) << "allocation at pool_test.cpp:" << line + 1;
    FreeIfAllocated(failing);
    FreeIfAllocated(working);
}

TEST(Pool, PagedPoolBelowDispatchLevelAndNonPagedPoolAtDispatchLevel)
{
    host::Host host;
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    PVOID paged = ExAllocatePool(PagedPool, 32);
    KeLowerIrql(old);
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    PVOID nonPaged = ExAllocatePool(NonPagedPool, 48);
    PVOID nonPagedNx = ExAllocatePoolWithTag(NonPagedPoolNx, 48, 0x4B647874);
    KeLowerIrql(old);
    std::string listing = host.pool().OutstandingBlocks().listing;
    EXPECT_NE(std::string::npos, listing.find("32 bytes of paged pool")) << listing;
    EXPECT_EQ(3u, host.pool().OutstandingBlocks().count) << listing;
    EXPECT_EQ(std::string::npos, listing.find("48 bytes of paged pool"))
        << "NonPagedPoolNx is non-paged:\n"
        << listing;
    ExFreePool(paged);
    ExFreePool(nonPaged);
    ExFreePoolWithTag(nonPagedNx, 0x4B647874);
}

TEST(Pool, NewBlocksHoldTheFreshPatternAndFreedBlocksTheFreedPattern)
{
    host::Host host;
    auto* block = static_cast<unsigned char*>(ExAllocatePool(NonPagedPool, 24));
    ASSERT_NE(nullptr, block);
    for (int i = 0; i < 24; i++) ASSERT_EQ(0xAB, block[i]) << "new block, byte " << i;
    EXPECT_FALSE(host.pool().IsFreedMemory(block, 24, nullptr)) << "a live block";
    ExFreePool(block);
    // The freed block stays in the pool's quarantine, so reading it here is well defined; under
    // AddressSanitizer the quarantine is poisoned instead, so that any read of it is reported.
#if defined(__SANITIZE_ADDRESS__)
    for (int i = 0; i < 24; i++) {
        ASSERT_TRUE(__asan_address_is_poisoned(block + i)) << "freed block, byte " << i;
    }
#else
    for (int i = 0; i < 24; i++) ASSERT_EQ(0xDD, block[i]) << "freed block, byte " << i;
#endif
    std::string site;
    EXPECT_TRUE(host.pool().IsFreedMemory(block + 4, 8, &site)) << "inside the freed block";
    EXPECT_NE(std::string::npos, site.find("pool_test.cpp")) << site;
}
