// Plug and Play dispatch: query-remove and query-stop with their cancels, the capabilities
// edit, the refused identity query, and which other requests reach the bus.
#include <gtest/gtest.h>

#include <atomic>

#include "support/driver_fixture.h"
#include "support/port_requests.h"

using namespace kdxtest;

namespace {

// A query that makes the device refuse new requests, its cancel, the flag it sets, and the
// status it arrives with (a query-stop that may succeed arrives with a success: the driver keeps
// a failure it arrives with).
struct Query {
    const char* name;
    UCHAR minor;
    UCHAR cancel;
    UCHAR DEVICE_EXTENSION::*flag;
    NTSTATUS incoming;
};
const Query kQueryRemove{"query-remove", IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE,
                         &DEVICE_EXTENSION::RemovePending, STATUS_NOT_SUPPORTED};
const Query kQueryStop{"query-stop", IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE,
                       &DEVICE_EXTENSION::StopPending, STATUS_SUCCESS};

class PnpTest : public BusModeTest {
protected:
    // Plugs a started device with a lower filter below it.
    Plugged PlugStarted(std::unique_ptr<LowerFilter>* filter, USHORT product = kNumberedProduct)
    {
        Plugged plugged = PlugFiltered(Adapter(product), filter);
        EXPECT_EQ(STATUS_SUCCESS, plugged.startStatus);
        (*filter)->Forget();
        return plugged;
    }

    NTSTATUS SendQuery(const Plugged& plugged, const Query& query)
    {
        return SendRequest(plugged.physicalDevice, IRP_MJ_PNP, query.minor, query.incoming);
    }

    // The query waits for a request in progress before it answers; its cancel admits requests
    // again.
    void ExpectQueryWaitsForRequestsInProgress(const Query& query)
    {
        Plugged plugged = Plug(Adapter(kNumberedProduct));
        ASSERT_EQ(STATUS_SUCCESS, plugged.startStatus);
        PDEVICE_OBJECT device = plugged.functionDevice;
        PDEVICE_EXTENSION extension = Extension(plugged);

        AsDriver([&] { IncrementIoCount(device); });  // a request in progress
        std::atomic<bool> answered{false};
        NTSTATUS status = STATUS_PENDING;
        std::unique_ptr<host::HostThread> thread;
        std::thread pnp = host::Scheduler::Instance().Spawn(
            "pnp",
            [&] {
                status = SendQuery(plugged, query);
                answered = true;
            },
            &thread);
        // Once the query has marked the device it waits for the request in progress, however
        // long that takes (a thread may be slow to get there: no fixed delay is assumed). The
        // query's thread blocks in that drain; its flags are read once it does (the host
        // orders them with the block).
        for (int polls = 0; polls < 1000 && !host::Scheduler::Instance().IsBlocked(*thread);
             polls++) {
            host.Sleep(host::Milliseconds(10));
        }
        host.Sleep(host::Milliseconds(1000));
        EXPECT_FALSE(answered) << "answered while a request was in progress";
        EXPECT_EQ(1, extension->*query.flag);
        EXPECT_FALSE(CanAcceptRequests(device));

        AsDriver([&] { DecrementIoCount(device); });
        host::Scheduler::Instance().Join(pnp, *thread);
        EXPECT_EQ(STATUS_SUCCESS, status);
        EXPECT_EQ(1, extension->IoCount);

        EXPECT_EQ(STATUS_SUCCESS, host.pnp().SendPnp(plugged.physicalDevice, query.cancel));
        EXPECT_EQ(0, extension->*query.flag);
        EXPECT_TRUE(CanAcceptRequests(device));
    }

    // An open and the query at the same moment: whichever wins, the query never succeeds with
    // a handle open. Under seeds the open is sometimes admitted while the query waits for it.
    void ExpectOpenRacingQueryRefusesOneOfThem(const Query& query)
    {
        Plugged plugged = Plug(Adapter(kNumberedProduct));
        ASSERT_EQ(STATUS_SUCCESS, plugged.startStatus);
        PDEVICE_EXTENSION extension = Extension(plugged);
        host::Scheduler& scheduler = host::Scheduler::Instance();
        host::OpenResult open;
        NTSTATUS answer = STATUS_PENDING;
        std::unique_ptr<host::HostThread> openThread, queryThread;
        std::thread opener = scheduler.Spawn(
            "open", [&] { open = host.app().Open(u"VLT0"); }, &openThread);
        std::thread querier = scheduler.Spawn(
            query.name, [&] { answer = SendQuery(plugged, query); }, &queryThread);
        scheduler.Join(opener, *openThread);
        scheduler.Join(querier, *queryThread);

        if (NT_SUCCESS(open.status)) {
            EXPECT_EQ(STATUS_DEVICE_BUSY, answer) << "agreed with a handle open";
            EXPECT_EQ(0, extension->*query.flag);
            EXPECT_EQ(STATUS_SUCCESS, host.app().Write(open.handle, Bytes("ping")).status)
                << "the port works";
            EXPECT_EQ(STATUS_SUCCESS, host.app().Close(open.handle));
        } else {
            EXPECT_EQ(STATUS_DELETE_PENDING, open.status);
            EXPECT_EQ(STATUS_SUCCESS, answer);
        }
        EXPECT_EQ(STATUS_SUCCESS, host.pnp().SendPnp(plugged.physicalDevice, query.cancel));
        EXPECT_TRUE(CanAcceptRequests(plugged.functionDevice));
    }
};

TEST_P(PnpTest, QueryRemoveWaitsForRequestsInProgressAndCancelRemoveAdmitsAgain)
{
    ExpectQueryWaitsForRequestsInProgress(kQueryRemove);
}

TEST_P(PnpTest, QueryStopWaitsForRequestsInProgressAndCancelStopAdmitsAgain)
{
    ExpectQueryWaitsForRequestsInProgress(kQueryStop);
}

TEST_P(PnpTest, AnOpenRacingAQueryRemoveEitherRefusesTheQueryOrIsRefusedItself)
{
    ExpectOpenRacingQueryRefusesOneOfThem(kQueryRemove);
}

TEST_P(PnpTest, AnOpenRacingAQueryStopEitherRefusesTheQueryOrIsRefusedItself)
{
    ExpectOpenRacingQueryRefusesOneOfThem(kQueryStop);
}

TEST_P(PnpTest, QueriesAndCancelsOnADeviceNotStartedGoToTheBusAndChangeNoFlag)
{
    host::DeviceModel adapter = Adapter(kNumberedProduct);
    adapter.registryKeyFails = true;
    Plugged plugged = Plug(adapter);
    ASSERT_EQ(STATUS_UNSUCCESSFUL, plugged.startStatus);
    PDEVICE_EXTENSION extension = Extension(plugged);
    for (UCHAR minor : {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_QUERY_STOP_DEVICE,
                        IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}) {
        SCOPED_TRACE("minor function " + std::to_string(minor));
        EXPECT_EQ(STATUS_SUCCESS, host.pnp().SendPnp(plugged.physicalDevice, minor))
            << "answered by the bus";
        EXPECT_EQ(0, extension->RemovePending);
        EXPECT_EQ(0, extension->StopPending);
        EXPECT_EQ(1, extension->IoCount);
    }
}

TEST_P(PnpTest, AnUnsupportedQueryStopIsCompletedAfterMarkingTheStopAndCancelStopClearsIt)
{
    std::unique_ptr<LowerFilter> filter;
    Plugged plugged = PlugStarted(&filter);
    PDEVICE_EXTENSION extension = Extension(plugged);

    EXPECT_EQ(STATUS_NOT_SUPPORTED,
              host.pnp().SendPnp(plugged.physicalDevice, IRP_MN_QUERY_STOP_DEVICE));
    EXPECT_EQ(1, extension->StopPending);
    EXPECT_EQ(0u, filter->SeenCount(IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE))
        << "never reached the bus";

    EXPECT_EQ(STATUS_SUCCESS,
              host.pnp().SendPnp(plugged.physicalDevice, IRP_MN_CANCEL_STOP_DEVICE));
    EXPECT_EQ(0, extension->StopPending);
    EXPECT_EQ(1u, filter->SeenCount(IRP_MJ_PNP, IRP_MN_CANCEL_STOP_DEVICE));

    EXPECT_EQ(STATUS_SUCCESS, SendRequest(plugged.physicalDevice, IRP_MJ_PNP,
                                          IRP_MN_QUERY_STOP_DEVICE, STATUS_SUCCESS));
    EXPECT_EQ(1, extension->StopPending);
    EXPECT_EQ(1u, filter->SeenCount(IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE))
        << "a successful one goes down";
    EXPECT_EQ(1, extension->IoCount);
}

TEST_P(PnpTest, CapabilitiesAreEditedWhateverTheBusAnswered)
{
    host::DeviceModel failing = Adapter(kNumberedProduct);
    failing.capabilitiesFail = true;
    host::DeviceModel waking = Adapter(kNumberedProduct);
    waking.remoteWake = true;
    for (const host::DeviceModel& adapter : {failing, waking}) {
        SCOPED_TRACE(adapter.capabilitiesFail ? "the bus fails the query" : "a remote-wake device");
        Plugged plugged = Plug(adapter);
        DEVICE_CAPABILITIES capabilities{};
        capabilities.Size = sizeof(capabilities);
        capabilities.Version = 1;
        capabilities.Address = capabilities.UINumber = MAXULONG;
        capabilities.LockSupported = capabilities.EjectSupported = capabilities.DockDevice = 1;
        capabilities.SystemWake = PowerSystemSleeping1;
        capabilities.DeviceWake = PowerDeviceD1;
        EXPECT_EQ(STATUS_SUCCESS,
                  host.pnp().SendPnp(plugged.physicalDevice, IRP_MN_QUERY_CAPABILITIES,
                                     [&](PIO_STACK_LOCATION stack) {
                                         stack->Parameters.DeviceCapabilities.Capabilities =
                                             &capabilities;
                                     }));
        EXPECT_EQ(0u, capabilities.LockSupported);
        EXPECT_EQ(0u, capabilities.EjectSupported);
        EXPECT_EQ(0u, capabilities.DockDevice);
        EXPECT_EQ(1u, capabilities.Removable);
        EXPECT_EQ(1u, capabilities.SurpriseRemovalOK);
        EXPECT_EQ(PowerSystemUnspecified, capabilities.SystemWake);
        EXPECT_EQ(PowerDeviceUnspecified, capabilities.DeviceWake);
        ULONG expectedAddress = adapter.capabilitiesFail ? MAXULONG : plugged.device->port;
        EXPECT_EQ(expectedAddress, capabilities.Address) << "what the bus filled in stays";
        EXPECT_EQ(1, Extension(plugged)->IoCount);
    }
}

TEST_P(PnpTest, AShortCapabilitiesRecordIsRefusedUntouchedWithoutReachingTheBus)
{
    std::unique_ptr<LowerFilter> filter;
    Plugged plugged = PlugStarted(&filter);
    DEVICE_CAPABILITIES capabilities{};
    capabilities.Size = sizeof(capabilities) - 1;
    capabilities.Version = 1;
    capabilities.LockSupported = 1;
    EXPECT_EQ(STATUS_UNSUCCESSFUL,
              host.pnp().SendPnp(
                  plugged.physicalDevice, IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION stack) {
                      stack->Parameters.DeviceCapabilities.Capabilities = &capabilities;
                  }));
    EXPECT_EQ(1u, capabilities.LockSupported);
    EXPECT_EQ(0u, capabilities.Removable);
    EXPECT_EQ(0u, filter->SeenCount(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES));
}

TEST_P(PnpTest, IdentityQueriesAreAnsweredNotImplementedWithoutReachingTheBus)
{
    std::unique_ptr<LowerFilter> filter;
    Plugged plugged = PlugStarted(&filter);
    for (BUS_QUERY_ID_TYPE type : {BusQueryDeviceID, BusQueryHardwareIDs, BusQueryInstanceID}) {
        SCOPED_TRACE("identity type " + std::to_string(type));
        std::u16string id = u"unchanged";
        EXPECT_EQ(STATUS_NOT_IMPLEMENTED, host.pnp().QueryId(plugged.physicalDevice, type, &id));
        EXPECT_EQ("", Text(id));
    }
    EXPECT_EQ(STATUS_NOT_IMPLEMENTED,
              SendRequest(plugged.physicalDevice, IRP_MJ_PNP, IRP_MN_QUERY_ID, STATUS_SUCCESS, 0,
                          [](PIO_STACK_LOCATION stack) {
                              stack->Parameters.QueryId.IdType = BusQueryDeviceID;
                          }))
        << "also when it arrives with a success status";
    EXPECT_EQ(0u, filter->SeenCount(IRP_MJ_PNP, IRP_MN_QUERY_ID));
    EXPECT_EQ(1, Extension(plugged)->IoCount);
}

// A request this driver does not handle reaches the bus with the status it arrived with (the
// PnP manager sends STATUS_NOT_SUPPORTED), and the bus's answer is its result.
TEST_P(PnpTest, OtherRequestsGoToTheBusWithTheStatusTheyArrivedWith)
{
    std::unique_ptr<LowerFilter> filter;
    Plugged plugged = PlugStarted(&filter);
    const NTSTATUS incoming[] = {STATUS_NOT_SUPPORTED, STATUS_INVALID_DEVICE_STATE, STATUS_SUCCESS};
    for (NTSTATUS status : incoming) {
        EXPECT_EQ(status, SendRequest(plugged.physicalDevice, IRP_MJ_PNP,
                                      IRP_MN_QUERY_PNP_DEVICE_STATE, status))
            << "the bus does not answer it either";
    }
    std::vector<LowerFilter::Seen> seen = filter->SeenRequests(IRP_MJ_PNP);
    ASSERT_EQ(3u, seen.size());
    for (size_t i = 0; i < seen.size(); i++) {
        EXPECT_EQ(IRP_MN_QUERY_PNP_DEVICE_STATE, seen[i].minor);
        EXPECT_EQ(incoming[i], seen[i].status) << "unchanged on the way down";
    }
    filter->answer = [](PIRP irp) -> std::optional<NTSTATUS> {
        if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_QUERY_BUS_INFORMATION) {
            return std::nullopt;
        }
        return STATUS_SUCCESS;
    };
    EXPECT_EQ(STATUS_SUCCESS,
              host.pnp().SendPnp(plugged.physicalDevice, IRP_MN_QUERY_BUS_INFORMATION))
        << "answered by the bus";
    filter->answer = nullptr;

    // Device relations go down whatever status they arrive with.
    ULONG_PTR relations = 0;
    EXPECT_EQ(STATUS_SUCCESS, host.pnp().SendPnp(
                                  plugged.physicalDevice, IRP_MN_QUERY_DEVICE_RELATIONS,
                                  [](PIO_STACK_LOCATION stack) {
                                      stack->Parameters.QueryDeviceRelations.Type =
                                          TargetDeviceRelation;
                                  },
                                  &relations));
    ASSERT_NE(0u, relations);
    EXPECT_EQ(plugged.physicalDevice, reinterpret_cast<PDEVICE_RELATIONS>(relations)->Objects[0]);
    ExFreePool(reinterpret_cast<PVOID>(relations));
    EXPECT_EQ(1, Extension(plugged)->IoCount);
}

// A stop cannot be refused: when the device cannot be deconfigured it is stopped all the same,
// the stop reaches the bus, and the next start brings the port back.
TEST_P(PnpTest, AStopSucceedsAndGoesDownEvenWhenTheDeviceCannotBeDeconfigured)
{
    std::unique_ptr<LowerFilter> filter;
    Plugged plugged = PlugStarted(&filter);
    PDEVICE_EXTENSION extension = Extension(plugged);
    ASSERT_EQ(STATUS_SUCCESS, SendQuery(plugged, kQueryStop));
    host.pool().FailAllocationsFrom("UnconfigureDevice");
    EXPECT_EQ(STATUS_SUCCESS, host.pnp().Stop(plugged.physicalDevice, false));
    host.pool().ClearFaults();
    EXPECT_EQ(1u, filter->SeenCount(IRP_MJ_PNP, IRP_MN_STOP_DEVICE));
    EXPECT_EQ(0, extension->Started);
    EXPECT_EQ(0, extension->StopPending);
    EXPECT_EQ(1, extension->IoCount);
    EXPECT_EQ("", LinkTarget(u"\\DosDevices\\VLT0"));

    EXPECT_EQ(STATUS_SUCCESS, host.pnp().Start(plugged.physicalDevice));
    host::OpenResult open = host.app().Open(u"VLT0");
    ASSERT_EQ(STATUS_SUCCESS, open.status);
    EXPECT_EQ(STATUS_SUCCESS, host.app().Close(open.handle));
}

KDX_FOR_BOTH_BUS_MODES(PnpTest);

}  // namespace
