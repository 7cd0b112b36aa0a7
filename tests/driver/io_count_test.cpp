// The I/O count with its two events: the base reference of an added device, each transition,
// and the reference that every request to the bus holds for its whole exchange.
#include <gtest/gtest.h>

#include "support/driver_fixture.h"

using namespace kdxtest;

namespace {

class IoCount : public DriverTest {
protected:
    static bool Signalled(KEVENT& event) { return KeReadStateEvent(&event) != 0; }
};

TEST_F(IoCount, AnAddedDeviceHoldsOnlyItsBaseReferenceAndRefusesRequests)
{
    Plugged plugged = Add(Adapter(kNumberedProduct));
    ASSERT_EQ(STATUS_SUCCESS, plugged.addStatus);
    PDEVICE_EXTENSION extension = Extension(plugged);
    EXPECT_EQ(1, extension->IoCount);
    EXPECT_TRUE(Signalled(extension->NoPendingIoEvent));
    EXPECT_FALSE(Signalled(extension->RemoveEvent));
    EXPECT_FALSE(CanAcceptRequests(plugged.functionDevice)) << "not started yet";
}

TEST_F(IoCount, TheEventsFollowTheCountThroughEveryTransition)
{
    Plugged plugged = Add(Adapter(kNumberedProduct));
    PDEVICE_OBJECT device = plugged.functionDevice;
    PDEVICE_EXTENSION extension = Extension(plugged);

    AsDriver([&] { IncrementIoCount(device); });
    EXPECT_EQ(2, extension->IoCount);
    EXPECT_FALSE(Signalled(extension->NoPendingIoEvent)) << "1 -> 2";
    EXPECT_FALSE(Signalled(extension->RemoveEvent)) << "1 -> 2";

    EXPECT_EQ(1, AsDriver([&] { return DecrementIoCount(device); }));
    EXPECT_TRUE(Signalled(extension->NoPendingIoEvent)) << "2 -> 1";
    EXPECT_FALSE(Signalled(extension->RemoveEvent)) << "2 -> 1";

    EXPECT_EQ(0, AsDriver([&] { return DecrementIoCount(device); }));
    EXPECT_TRUE(Signalled(extension->RemoveEvent)) << "1 -> 0";
    EXPECT_TRUE(Signalled(extension->NoPendingIoEvent)) << "1 -> 0";

    AsDriver([&] { IncrementIoCount(device); });
    EXPECT_EQ(1, extension->IoCount);
    EXPECT_FALSE(Signalled(extension->RemoveEvent)) << "0 -> 1";
    EXPECT_TRUE(Signalled(extension->NoPendingIoEvent)) << "0 -> 1 leaves it as it was";
}

class IoCountAtStart : public BusModeTest {};

TEST_P(IoCountAtStart, EveryUsbRequestHoldsAReferenceAndAStartedDeviceIsIdleAgain)
{
    std::unique_ptr<LowerFilter> filter;
    Plugged plugged = PlugFiltered(Adapter(kNumberedProduct), &filter);
    ASSERT_EQ(STATUS_SUCCESS, plugged.startStatus);
    std::vector<LowerFilter::Seen> urbs = filter->SeenRequests(IRP_MJ_INTERNAL_DEVICE_CONTROL);
    ASSERT_EQ(3u, urbs.size()) << "device descriptor, configuration, selection";
    for (size_t i = 0; i < urbs.size(); i++) {
        EXPECT_EQ(3, urbs[i].portIoCount)
            << "request " << i << ": base, start request and the request's own reference";
    }
    EXPECT_EQ(1, Extension(plugged)->IoCount);
}

KDX_FOR_BOTH_BUS_MODES(IoCountAtStart);

// A transfer for a slot index past the 16 slots fails before anything is sent, on either
// submitter, and leaves the I/O count where it was.
TEST_P(IoCountAtStart, ATransferForSlotSixteenFailsAtOnceAndHoldsNoReference)
{
    Plugged plugged = Plug(Adapter(kNumberedProduct));
    ASSERT_EQ(STATUS_SUCCESS, plugged.startStatus);
    PDEVICE_OBJECT device = plugged.functionDevice;
    URB urb{};
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, AsDriver([&] {
                  return SubmitBulkTransfer(device, &urb, KDX_TRANSFER_SLOT_COUNT, nullptr);
              }));
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, AsDriver([&] {
                  return SubmitBulkTransferWithTimeout(device, &urb, KDX_TRANSFER_SLOT_COUNT,
                                                       nullptr);
              }));
    EXPECT_EQ(1, Extension(plugged)->IoCount);
}

}  // namespace
