// The serial state a started port begins with: special characters, handflow limits that follow
// the receive buffer of the first open, the settable baud rates, zero timeouts, and the Plug
// and Play queries that an open handle refuses.
#include <gtest/gtest.h>

#include "support/port_fixture.h"

using namespace kdxtest;

namespace {

class SerialDefaultsTest : public PortTest {};

TEST_P(SerialDefaultsTest, TheSpecialCharactersAreXonAndXoffAndNothingElse)
{
    for (USHORT product : {kNumberedProduct, kOtherProduct}) {
        SCOPED_TRACE("product " + Hex(product));
        OpenPort(product);
        SERIAL_CHARS chars = Get<SERIAL_CHARS>(portHandle, IOCTL_SERIAL_GET_CHARS);
        EXPECT_EQ(0, chars.EofChar);
        EXPECT_EQ(0, chars.ErrorChar);
        EXPECT_EQ(0, chars.BreakChar);
        EXPECT_EQ(0, chars.EventChar);
        EXPECT_EQ(0x11, chars.XonChar);
        EXPECT_EQ(0x13, chars.XoffChar);
        ClosePort();
    }
}

// No request reports the handflow without an open handle yet, so the state before the first
// open is read from the device extension.
TEST_P(SerialDefaultsTest, HandflowLimitsAreZeroUntilTheFirstOpenSetsThemFromItsReceiveBuffer)
{
    PlugPort(kOtherProduct);
    const SERIAL_HANDFLOW& started = PortExtension()->HandFlow;
    EXPECT_EQ(0u, started.ControlHandShake);
    EXPECT_EQ(0u, started.FlowReplace);
    EXPECT_EQ(0, started.XonLimit) << "before the first open";
    EXPECT_EQ(0, started.XoffLimit) << "before the first open";

    portHandle = Open();
    SERIAL_HANDFLOW opened = Get<SERIAL_HANDFLOW>(portHandle, IOCTL_SERIAL_GET_HANDFLOW);
    EXPECT_EQ(0u, opened.ControlHandShake);
    EXPECT_EQ(0u, opened.FlowReplace);
    EXPECT_EQ(2048, opened.XonLimit) << "once opened";
    EXPECT_EQ(512, opened.XoffLimit) << "once opened";
    ClosePort();
    EXPECT_EQ(2048, PortExtension()->HandFlow.XonLimit) << "a close keeps the limits";
    EXPECT_EQ(512, PortExtension()->HandFlow.XoffLimit) << "a close keeps the limits";
}

TEST_P(SerialDefaultsTest, AFirstOpenFindsZeroTimeoutsAndStatisticsAndTheSettableBaudRates)
{
    OpenPort(kNumberedProduct);
    SERIAL_TIMEOUTS timeouts = Get<SERIAL_TIMEOUTS>(portHandle, IOCTL_SERIAL_GET_TIMEOUTS);
    SERIAL_TIMEOUTS zero{};
    EXPECT_EQ(0, memcmp(&zero, &timeouts, sizeof(timeouts))) << "timeouts after start";
    SERIALPERF_STATS stats = Get<SERIALPERF_STATS>(portHandle, IOCTL_SERIAL_GET_STATS);
    SERIALPERF_STATS none{};
    EXPECT_EQ(0, memcmp(&none, &stats, sizeof(stats))) << "statistics after start";
    EXPECT_EQ(0u, Get<ULONG>(portHandle, IOCTL_SERIAL_GET_WAIT_MASK));
    SERIAL_COMMPROP properties = Get<SERIAL_COMMPROP>(portHandle, IOCTL_SERIAL_GET_PROPERTIES);
    EXPECT_EQ(ULONG(SERIAL_BAUD_USER | SERIAL_BAUD_9600), properties.SettableBaud);
    EXPECT_EQ(0x10000800u, properties.SettableBaud);
}

TEST_P(SerialDefaultsTest, QueryRemoveAndQueryStopAreRefusedBusyWhileAHandleIsOpen)
{
    OpenPort(kNumberedProduct);
    EXPECT_EQ(STATUS_DEVICE_BUSY,
              host.pnp().SendPnp(port.physicalDevice, IRP_MN_QUERY_REMOVE_DEVICE));
    EXPECT_EQ(STATUS_DEVICE_BUSY, SendRequest(port.physicalDevice, IRP_MJ_PNP,
                                              IRP_MN_QUERY_STOP_DEVICE, STATUS_SUCCESS));
    EXPECT_EQ(0, PortExtension()->RemovePending);
    EXPECT_EQ(0, PortExtension()->StopPending);
    EXPECT_EQ(STATUS_SUCCESS, Control(portHandle, IOCTL_SERIAL_SET_BREAK_ON).status)
        << "the handle still works";
    EXPECT_EQ(STATUS_SUCCESS, app().Write(portHandle, {1, 2}).status);

    ASSERT_EQ(STATUS_SUCCESS, ClosePort());
    EXPECT_EQ(STATUS_SUCCESS, host.pnp().SendPnp(port.physicalDevice, IRP_MN_QUERY_REMOVE_DEVICE))
        << "once the handle is closed";
    EXPECT_EQ(STATUS_SUCCESS, host.pnp().SendPnp(port.physicalDevice, IRP_MN_CANCEL_REMOVE_DEVICE));
    EXPECT_EQ(STATUS_SUCCESS, SendRequest(port.physicalDevice, IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE,
                                          STATUS_SUCCESS))
        << "once the handle is closed";
    EXPECT_EQ(STATUS_SUCCESS, host.pnp().SendPnp(port.physicalDevice, IRP_MN_CANCEL_STOP_DEVICE));
    EXPECT_EQ(1, PortExtension()->IoCount);
}

KDX_FOR_BOTH_BUS_MODES(SerialDefaultsTest);

}  // namespace
