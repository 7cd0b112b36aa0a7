// Power and system-control dispatch: device power states reported around the bus's work,
// requests passed down or refused, and WMI requests passed down from the start.
#include <gtest/gtest.h>

#include "support/driver_fixture.h"

using namespace kdxtest;

namespace {

constexpr UCHAR kWmiQueryAllData = 0x00;

class PowerTest : public BusModeTest {
protected:
    Plugged PlugStarted(std::unique_ptr<LowerFilter>* filter)
    {
        Plugged plugged = PlugFiltered(Adapter(kNumberedProduct), filter);
        EXPECT_EQ(STATUS_SUCCESS, plugged.startStatus);
        return plugged;
    }
    NTSTATUS SetDevicePower(const Plugged& plugged, DEVICE_POWER_STATE state)
    {
        return host.pnp().SendPower(plugged.physicalDevice, IRP_MN_SET_POWER, DevicePowerState,
                                    DeviceState(state));
    }
    // The device power states the port's device reported, in order.
    std::vector<DEVICE_POWER_STATE> Reported(const Plugged& plugged)
    {
        std::vector<DEVICE_POWER_STATE> states;
        for (const auto& [type, state] : host.objects().PowerStates(plugged.functionDevice)) {
            EXPECT_EQ(DevicePowerState, type);
            states.push_back(state.DeviceState);
        }
        return states;
    }
};

TEST_P(PowerTest, APowerDownIsReportedBeforeItGoesDownAndAPowerUpAfterTheBusFinished)
{
    std::unique_ptr<LowerFilter> filter;
    Plugged plugged = PlugStarted(&filter);
    using States = std::vector<DEVICE_POWER_STATE>;

    EXPECT_EQ(STATUS_SUCCESS, SetDevicePower(plugged, PowerDeviceD3));
    EXPECT_EQ((States{PowerDeviceD0, PowerDeviceD3}), Reported(plugged));
    EXPECT_EQ(PowerDeviceD3, plugged.device->powerState());
    EXPECT_EQ(STATUS_SUCCESS, SetDevicePower(plugged, PowerDeviceD0));
    EXPECT_EQ((States{PowerDeviceD0, PowerDeviceD3, PowerDeviceD0}), Reported(plugged));
    EXPECT_EQ(PowerDeviceD0, plugged.device->powerState());

    std::vector<LowerFilter::Seen> seen = filter->SeenRequests(IRP_MJ_POWER);
    ASSERT_EQ(2u, seen.size());
    EXPECT_EQ(PowerDeviceD3, seen[0].powerState.DeviceState);
    EXPECT_EQ(2u, seen[0].powerReports) << "D3 was reported before the bus saw the request";
    EXPECT_EQ(1, seen[0].startNextPowerCalls);
    EXPECT_EQ(PowerDeviceD0, seen[1].powerState.DeviceState);
    EXPECT_EQ(2u, seen[1].powerReports) << "D0 is reported only after the bus finished";
    EXPECT_EQ(1, Extension(plugged)->IoCount) << "the completion dropped the reference";
}

TEST_P(PowerTest, AFailedPowerUpKeepsTheBusStatusAndIsNotReported)
{
    std::unique_ptr<LowerFilter> filter;
    Plugged plugged = PlugStarted(&filter);
    ASSERT_EQ(STATUS_SUCCESS, SetDevicePower(plugged, PowerDeviceD3));
    filter->answer = [](PIRP irp) -> std::optional<NTSTATUS> {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->MajorFunction == IRP_MJ_POWER && stack->MinorFunction == IRP_MN_SET_POWER &&
            stack->Parameters.Power.Type == DevicePowerState &&
            stack->Parameters.Power.State.DeviceState == PowerDeviceD0) {
            return STATUS_IO_TIMEOUT;  // the device does not come back
        }
        return std::nullopt;
    };
    EXPECT_EQ(STATUS_IO_TIMEOUT, SetDevicePower(plugged, PowerDeviceD0));
    EXPECT_EQ((std::vector<DEVICE_POWER_STATE>{PowerDeviceD0, PowerDeviceD3}), Reported(plugged));
    EXPECT_EQ(1, Extension(plugged)->IoCount);
}

TEST_P(PowerTest, ASystemSetPowerGoesDownAfterStartNextWithNoDeviceStateReported)
{
    std::unique_ptr<LowerFilter> filter;
    Plugged plugged = PlugStarted(&filter);
    EXPECT_EQ(STATUS_SUCCESS,
              host.pnp().SendPower(plugged.physicalDevice, IRP_MN_SET_POWER, SystemPowerState,
                                   SystemState(PowerSystemSleeping3)));
    std::vector<LowerFilter::Seen> seen = filter->SeenRequests(IRP_MJ_POWER);
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ(SystemPowerState, seen[0].powerType);
    EXPECT_EQ(PowerSystemSleeping3, seen[0].powerState.SystemState);
    EXPECT_EQ(1, seen[0].startNextPowerCalls);
    EXPECT_EQ(std::vector<DEVICE_POWER_STATE>{PowerDeviceD0}, Reported(plugged));
    EXPECT_EQ(1, Extension(plugged)->IoCount);
}

TEST_P(PowerTest, QueriesAreRefusedHereAndWaitWakeAndPowerSequenceGoToTheBus)
{
    std::unique_ptr<LowerFilter> filter;
    Plugged plugged = PlugStarted(&filter);
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE,
              host.pnp().SendPower(plugged.physicalDevice, IRP_MN_QUERY_POWER, DevicePowerState,
                                   DeviceState(PowerDeviceD3)));
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE,
              host.pnp().SendPower(plugged.physicalDevice, IRP_MN_QUERY_POWER, SystemPowerState,
                                   SystemState(PowerSystemSleeping3)));
    EXPECT_EQ(0u, filter->SeenCount(IRP_MJ_POWER, IRP_MN_QUERY_POWER));
    EXPECT_TRUE(CanAcceptRequests(plugged.functionDevice)) << "a refused query changes nothing";

    EXPECT_EQ(STATUS_NOT_SUPPORTED,
              host.pnp().SendPower(plugged.physicalDevice, IRP_MN_WAIT_WAKE, SystemPowerState,
                                   SystemState(PowerSystemSleeping3)))
        << "the bus does not arm wake-up";
    host.pnp().SendPower(plugged.physicalDevice, IRP_MN_POWER_SEQUENCE, DevicePowerState,
                         DeviceState(PowerDeviceD0));
    std::vector<LowerFilter::Seen> seen = filter->SeenRequests(IRP_MJ_POWER);
    ASSERT_EQ(2u, seen.size());
    EXPECT_EQ(IRP_MN_WAIT_WAKE, seen[0].minor);
    EXPECT_EQ(1, seen[0].startNextPowerCalls);
    EXPECT_EQ(IRP_MN_POWER_SEQUENCE, seen[1].minor);
    EXPECT_EQ(1, Extension(plugged)->IoCount);
}

TEST_P(PowerTest, EveryPowerRequestIsRefusedBeforeStartAndWhileAStopIsPending)
{
    std::unique_ptr<LowerFilter> filter;
    Plugged plugged = Add(Adapter(kNumberedProduct), &filter);
    auto sendAll = [&](const char* when) {
        SCOPED_TRACE(when);
        EXPECT_EQ(STATUS_DELETE_PENDING, SetDevicePower(plugged, PowerDeviceD3));
        EXPECT_EQ(STATUS_DELETE_PENDING, SetDevicePower(plugged, PowerDeviceD0));
        EXPECT_EQ(STATUS_DELETE_PENDING,
                  host.pnp().SendPower(plugged.physicalDevice, IRP_MN_SET_POWER, SystemPowerState,
                                       SystemState(PowerSystemSleeping3)));
        EXPECT_EQ(STATUS_DELETE_PENDING,
                  host.pnp().SendPower(plugged.physicalDevice, IRP_MN_WAIT_WAKE, SystemPowerState,
                                       SystemState(PowerSystemSleeping3)));
        EXPECT_EQ(STATUS_DELETE_PENDING,
                  host.pnp().SendPower(plugged.physicalDevice, IRP_MN_QUERY_POWER, DevicePowerState,
                                       DeviceState(PowerDeviceD3)));
        EXPECT_TRUE(filter->SeenRequests(IRP_MJ_POWER).empty());
        EXPECT_EQ(std::vector<DEVICE_POWER_STATE>{PowerDeviceD0}, Reported(plugged));
        EXPECT_EQ(1, Extension(plugged)->IoCount);
    };
    sendAll("before start");

    ASSERT_EQ(STATUS_SUCCESS, host.pnp().SendPnp(plugged.physicalDevice, IRP_MN_START_DEVICE));
    ASSERT_EQ(STATUS_NOT_SUPPORTED,
              host.pnp().SendPnp(plugged.physicalDevice, IRP_MN_QUERY_STOP_DEVICE));
    sendAll("while a stop is pending");

    ASSERT_EQ(STATUS_SUCCESS,
              host.pnp().SendPnp(plugged.physicalDevice, IRP_MN_CANCEL_STOP_DEVICE));
    EXPECT_EQ(STATUS_SUCCESS, SetDevicePower(plugged, PowerDeviceD3)) << "after cancel-stop";
}

TEST_P(PowerTest, WmiRequestsGoDownWithSuccessAndNoInformationAlsoBeforeStart)
{
    std::unique_ptr<LowerFilter> filter;
    Plugged plugged = Add(Adapter(kNumberedProduct), &filter);
    auto sendWmi = [&](const char* when) {
        SCOPED_TRACE(when);
        filter->Forget();
        EXPECT_EQ(STATUS_SUCCESS, SendRequest(plugged.physicalDevice, IRP_MJ_SYSTEM_CONTROL,
                                              kWmiQueryAllData, STATUS_NOT_SUPPORTED, 0x1234));
        std::vector<LowerFilter::Seen> seen = filter->SeenRequests(IRP_MJ_SYSTEM_CONTROL);
        ASSERT_EQ(1u, seen.size());
        EXPECT_EQ(STATUS_SUCCESS, seen[0].status);
        EXPECT_EQ(0u, seen[0].information);
        EXPECT_EQ(1, Extension(plugged)->IoCount);
    };
    sendWmi("before start");
    ASSERT_EQ(STATUS_SUCCESS, host.pnp().SendPnp(plugged.physicalDevice, IRP_MN_START_DEVICE));
    sendWmi("after start");
}

KDX_FOR_BOTH_BUS_MODES(PowerTest);

}  // namespace
