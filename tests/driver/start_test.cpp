// Device start: the descriptor reads, the selection of the configuration, the bulk pipes
// found in the first interface, and the status of every way a start can fail.
#include <gtest/gtest.h>

#include "support/driver_fixture.h"

using namespace kdxtest;
using Kind = host::UsbRequest::Kind;

namespace {

std::vector<host::UsbRequest> ConfigurationReads(const host::UsbDevice& device)
{
    std::vector<host::UsbRequest> reads;
    for (const host::UsbRequest& request : RequestsOf(device, Kind::GetDescriptor)) {
        if (request.descriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE) reads.push_back(request);
    }
    return reads;
}

host::DeviceModel WithEndpoints(host::DeviceModel adapter, std::vector<host::EndpointModel> endpoints)
{
    adapter.interfaces[0].endpoints = std::move(endpoints);
    return adapter;
}

class StartTest : public BusModeTest {};

TEST_P(StartTest, PassesTheStartDownThenReadsBothDescriptorsOnceAndSelects)
{
    std::unique_ptr<LowerFilter> filter;
    Plugged plugged = PlugFiltered(Adapter(kNumberedProduct), &filter);
    ASSERT_EQ(STATUS_SUCCESS, plugged.startStatus);
    std::vector<LowerFilter::Seen> starts = filter->SeenRequests(IRP_MJ_PNP);
    ASSERT_EQ(1u, starts.size());
    EXPECT_EQ(IRP_MN_START_DEVICE, starts[0].minor);
    EXPECT_EQ(0u, starts[0].order) << "the bus starts the device before anything is sent to it";
    std::vector<host::UsbRequest> requests = plugged.device->Requests();
    ASSERT_EQ(3u, requests.size()) << Log(*plugged.device);
    EXPECT_EQ(Kind::GetDescriptor, requests[0].kind);
    EXPECT_EQ(USB_DEVICE_DESCRIPTOR_TYPE, requests[0].descriptorType);
    EXPECT_EQ(18u, requests[0].requestedLength);
    EXPECT_EQ(USB_CONFIGURATION_DESCRIPTOR_TYPE, requests[1].descriptorType);
    EXPECT_EQ(521u, requests[1].requestedLength);
    EXPECT_EQ(Kind::SelectConfiguration, requests[2].kind);

    PDEVICE_EXTENSION extension = Extension(plugged);
    EXPECT_EQ(kNumberedProduct, extension->ProductId);
    ASSERT_NE(nullptr, extension->ConfigurationDescriptor);
    EXPECT_EQ(plugged.device->configurationDescriptor.size(),
              extension->ConfigurationDescriptor->wTotalLength);
    EXPECT_TRUE(plugged.device->configured());
    EXPECT_EQ(1, extension->Started);
    EXPECT_EQ(1, extension->PortConfigured);
    EXPECT_EQ(1, extension->IoCount);
}

TEST_P(StartTest, ReadsALongerConfigurationAgainWithExactlyItsTotalLength)
{
    struct Case {
        USHORT padded;                   // total length of the real descriptor, padded
        std::optional<USHORT> reported;  // a wTotalLength that lies
        std::vector<ULONG> reads;        // the lengths asked for
    };
    const Case cases[] = {
        {521, {}, {521}},
        {522, {}, {521, 522}},
        {600, {}, {521, 600}},
        {0, 700, {521, 700}},  // the device sends less than it claims; the rest reads as zeros
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("padded to " + std::to_string(c.padded) + ", reporting " +
                     std::to_string(c.reported.value_or(0)));
        host::DeviceModel adapter = Adapter(kNumberedProduct);
        adapter.paddedTotalLength = c.padded;
        adapter.reportedTotalLength = c.reported;
        Plugged plugged = Plug(adapter);
        std::vector<ULONG> reads;
        for (const host::UsbRequest& read : ConfigurationReads(*plugged.device)) {
            reads.push_back(read.requestedLength);
        }
        EXPECT_EQ(c.reads, reads) << Log(*plugged.device);
        EXPECT_EQ(STATUS_SUCCESS, plugged.startStatus) << "the interface after the padding found";
    }
}

TEST_P(StartTest, UsesTheHighestBulkPipeOfEachDirectionAndNeedsBoth)
{
    struct Case {
        const char* layout;
        std::vector<host::EndpointModel> endpoints;
        ULONG inCount, outCount, inIndex, outIndex;
        NTSTATUS start;
    };
    auto bulkIn = Endpoint(UsbdPipeTypeBulk, true), bulkOut = Endpoint(UsbdPipeTypeBulk, false);
    auto interruptIn = Endpoint(UsbdPipeTypeInterrupt, true);
    auto interruptOut = Endpoint(UsbdPipeTypeInterrupt, false);
    const Case cases[] = {
        {"bulk-in, bulk-out", {bulkIn, bulkOut}, 1, 1, 0, 1, STATUS_SUCCESS},
        {"int-in, bulk-out, bulk-in, int-out",
         {interruptIn, bulkOut, bulkIn, interruptOut},
         1,
         1,
         2,
         1,
         STATUS_SUCCESS},
        {"bulk-in, bulk-in, bulk-out, bulk-out",
         {bulkIn, bulkIn, bulkOut, bulkOut},
         2,
         2,
         1,
         3,
         STATUS_SUCCESS},
        {"bulk-in only", {bulkIn}, 1, 0, 0, 0, STATUS_UNSUCCESSFUL},
        {"int-in, bulk-out", {interruptIn, bulkOut}, 0, 1, 0, 1, STATUS_UNSUCCESSFUL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.layout);
        Plugged plugged = Plug(WithEndpoints(Adapter(kNumberedProduct), c.endpoints));
        EXPECT_EQ(c.start, plugged.startStatus);
        PDEVICE_EXTENSION extension = Extension(plugged);
        EXPECT_EQ(c.inCount, extension->BulkInPipeCount);
        EXPECT_EQ(c.outCount, extension->BulkOutPipeCount);
        if (c.inCount != 0) {
            EXPECT_EQ(c.inIndex, extension->BulkInPipeIndex);
        }
        if (c.outCount != 0) {
            EXPECT_EQ(c.outIndex, extension->BulkOutPipeIndex);
        }
        ASSERT_NE(nullptr, extension->InterfaceInformation);
        ASSERT_EQ(c.endpoints.size(), extension->InterfaceInformation->NumberOfPipes);
        EXPECT_NE(nullptr, extension->InterfaceInformation->Pipes[0].PipeHandle)
            << "the copy keeps the handles the bus gave";
        bool started = NT_SUCCESS(c.start);
        EXPECT_EQ(started ? 1 : 0, extension->PortConfigured);
        EXPECT_EQ(started, !PortNameValue(plugged.physicalDevice).empty()) << "named only then";
    }
}

TEST_P(StartTest, SelectsEveryPipeOfEveryInterfaceButRecordsOnlyTheFirstInterface)
{
    host::DeviceModel adapter = Adapter(kNumberedProduct);
    adapter.interfaces[0].endpoints = {Endpoint(UsbdPipeTypeInterrupt, true)};
    host::InterfaceModel second;
    second.number = 1;
    second.endpoints = {Endpoint(UsbdPipeTypeBulk, true), Endpoint(UsbdPipeTypeBulk, false),
                        Endpoint(UsbdPipeTypeInterrupt, true)};
    adapter.interfaces.push_back(second);
    Plugged plugged = Plug(adapter);

    std::vector<host::UsbRequest> selections =
        RequestsOf(*plugged.device, Kind::SelectConfiguration);
    ASSERT_EQ(1u, selections.size());
    const std::vector<std::vector<ULONG>> sizes = {{4096}, {4096, 4096, 4096}};
    EXPECT_EQ(sizes, selections[0].maximumTransferSizes) << Log(*plugged.device);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, plugged.startStatus)
        << "the bulk pipes of the second interface are not used";
    EXPECT_EQ(0u, Extension(plugged)->BulkInPipeCount);
}

TEST_P(StartTest, SelectsAtMostTheInterfacesTheConfigurationClaims)
{
    struct Case {
        const char* what;
        std::vector<std::pair<UCHAR, UCHAR>> descriptors;  // interface number, alternate setting
        std::optional<UCHAR> reportedCount;                // bNumInterfaces, when it lies
        size_t selected;
        NTSTATUS start;
    };
    const Case cases[] = {
        {"two interfaces, bNumInterfaces 1", {{0, 0}, {1, 0}}, 1, 1, STATUS_SUCCESS},
        {"one interface, bNumInterfaces 3", {{0, 0}}, 3, 1, STATUS_SUCCESS},
        {"interface 0 with an alternate setting", {{0, 0}, {0, 1}}, {}, 1, STATUS_SUCCESS},
        {"two interfaces, bNumInterfaces 0", {{0, 0}, {1, 0}}, 0, 0, STATUS_UNSUCCESSFUL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        host::DeviceModel adapter = Adapter(kNumberedProduct);
        host::InterfaceModel model = adapter.interfaces[0];
        adapter.interfaces.clear();
        for (auto [number, alternate] : c.descriptors) {
            model.number = number;
            model.alternateSetting = alternate;
            adapter.interfaces.push_back(model);
        }
        adapter.reportedInterfaceCount = c.reportedCount;
        Plugged plugged = Plug(adapter);
        std::vector<host::UsbRequest> selections =
            RequestsOf(*plugged.device, Kind::SelectConfiguration);
        ASSERT_EQ(1u, selections.size()) << Log(*plugged.device);
        EXPECT_EQ(c.selected, selections[0].maximumTransferSizes.size()) << Log(*plugged.device);
        EXPECT_EQ(c.start, plugged.startStatus);
    }
}

TEST_P(StartTest, ABulkPipeBeyondTheSixteenTransferSlotsFailsTheStart)
{
    // Interrupt pipes first, then the bulk pipes in the given order.
    struct Case {
        int interruptIn, interruptOut;
        bool inFirst;
        NTSTATUS start;
    };
    const Case cases[] = {
        {7, 7, true, STATUS_SUCCESS},        // bulk-in 14, bulk-out 15
        {8, 7, false, STATUS_UNSUCCESSFUL},  // bulk-out 15, bulk-in 16
        {7, 8, true, STATUS_UNSUCCESSFUL},   // bulk-in 15, bulk-out 16
    };
    for (const Case& c : cases) {
        std::vector<host::EndpointModel> endpoints(c.interruptIn,
                                                  Endpoint(UsbdPipeTypeInterrupt, true));
        endpoints.insert(endpoints.end(), c.interruptOut, Endpoint(UsbdPipeTypeInterrupt, false));
        endpoints.push_back(Endpoint(UsbdPipeTypeBulk, c.inFirst));
        endpoints.push_back(Endpoint(UsbdPipeTypeBulk, !c.inFirst));
        Plugged plugged = Plug(WithEndpoints(Adapter(kNumberedProduct), endpoints));
        PDEVICE_EXTENSION extension = Extension(plugged);
        SCOPED_TRACE("bulk-in " + std::to_string(extension->BulkInPipeIndex) + ", bulk-out " +
                     std::to_string(extension->BulkOutPipeIndex));
        EXPECT_EQ(c.start, plugged.startStatus);
        EXPECT_EQ(NT_SUCCESS(c.start) ? 1 : 0, extension->PortConfigured);
    }
}

TEST_P(StartTest, AConfigurationReadOfFewerThanNineBytesFailsWithoutSelectingButTakesAPort)
{
    host::DeviceModel adapter = Adapter(kNumberedProduct);
    adapter.configurationTransfersNothing = true;
    Plugged empty = Plug(adapter);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, empty.startStatus);
    EXPECT_EQ(nullptr, Extension(empty)->ConfigurationDescriptor);
    EXPECT_TRUE(RequestsOf(*empty.device, Kind::SelectConfiguration).empty()) << Log(*empty.device);

    // A device that sends only the first eight bytes of its configuration descriptor.
    std::unique_ptr<LowerFilter> filter;
    Plugged shortRead = Add(Adapter(kNumberedProduct), &filter);
    filter->answer = [](PIRP irp) -> std::optional<NTSTATUS> {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL) return std::nullopt;
        auto urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
        auto& request = urb->UrbControlDescriptorRequest;
        if (urb->UrbHeader.Function != URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE ||
            request.DescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE) {
            return std::nullopt;
        }
        const UCHAR head[8] = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 32, 0, 1, 1, 0, 0x80};
        memcpy(request.TransferBuffer, head, sizeof(head));
        request.TransferBufferLength = sizeof(head);
        urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
        return STATUS_SUCCESS;
    };
    EXPECT_EQ(STATUS_UNSUCCESSFUL,
              host.pnp().SendPnp(shortRead.physicalDevice, IRP_MN_START_DEVICE));
    EXPECT_EQ(nullptr, Extension(shortRead)->ConfigurationDescriptor);
    EXPECT_TRUE(RequestsOf(*shortRead.device, Kind::SelectConfiguration).empty())
        << Log(*shortRead.device);

    EXPECT_EQ(0u, Extension(empty)->PortNumber) << "a failed start still takes a port number";
    EXPECT_EQ(1u, Extension(shortRead)->PortNumber);
}

TEST_P(StartTest, FailedUsbRequestsGiveTheirStatusesToTheStart)
{
    host::DeviceModel noDescriptor = Adapter(kNumberedProduct);
    noDescriptor.deviceDescriptorStatus = STATUS_DEVICE_NOT_CONNECTED;
    Plugged first = Plug(noDescriptor);
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, first.startStatus);
    EXPECT_EQ(1u, first.device->Requests().size()) << Log(*first.device);
    EXPECT_EQ(nullptr, Extension(first)->DeviceDescriptor);
    EXPECT_EQ(0u, Extension(first)->ProductId);
    EXPECT_EQ(0u, Extension(first)->PortNumber) << "the instance number: no port is taken";

    host::DeviceModel refused = Adapter(kNumberedProduct);
    refused.selectConfigurationStatus = STATUS_DEVICE_DATA_ERROR;
    refused.selectConfigurationUsbdStatus = USBD_STATUS_DEV_NOT_RESPONDING;
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, Plug(refused).startStatus);

    host::DeviceModel usbdOnly = Adapter(kNumberedProduct);
    usbdOnly.selectConfigurationUsbdStatus = USBD_STATUS_NO_BANDWIDTH;
    Plugged third = Plug(usbdOnly);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, third.startStatus);
    EXPECT_EQ(nullptr, Extension(third)->InterfaceInformation);

    Plugged good = Plug(Adapter(kNumberedProduct));
    EXPECT_EQ(STATUS_SUCCESS, good.startStatus);
    EXPECT_EQ("\\Device\\KDX_LUSB3", LinkTarget(u"\\DosDevices\\VLT2"))
        << "ports 0 and 1 went to the devices whose selection failed";
}

TEST_P(StartTest, EachAllocationThatFailsFailsTheStartAtItsStep)
{
    constexpr int kNoPort = -1;
    struct Case {
        const char* site;
        NTSTATUS start;
        size_t requestsSent;
        int portNumber;  // the port number the start took, in the order of the cases
    };
    const Case cases[] = {
        {"ReadDeviceDescriptor", STATUS_INSUFFICIENT_RESOURCES, 0, kNoPort},
        {"ReadConfiguration", STATUS_INSUFFICIENT_RESOURCES, 1, 0},
        {"SelectConfiguration", STATUS_INSUFFICIENT_RESOURCES, 2, 1},
        {"USBD_CreateConfigurationRequestEx", STATUS_INSUFFICIENT_RESOURCES, 2, 2},
        {"KeepFirstInterface", STATUS_INSUFFICIENT_RESOURCES, 3, 3},
        {"SendInternalRequest", STATUS_INSUFFICIENT_RESOURCES, 0, kNoPort},
        {"CreatePortName", STATUS_UNSUCCESSFUL, 3, 4},
        {"CreateLink", STATUS_UNSUCCESSFUL, 3, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.site);
        host.pool().FailAllocationsFrom(c.site);
        Plugged plugged = Plug(Adapter(kNumberedProduct));
        host.pool().ClearFaults();
        EXPECT_EQ(c.start, plugged.startStatus);
        EXPECT_EQ(c.requestsSent, plugged.device->Requests().size()) << Log(*plugged.device);
        EXPECT_EQ(0, Extension(plugged)->Started);
        EXPECT_EQ(1, Extension(plugged)->IoCount) << "every request dropped its reference";
        EXPECT_FALSE(InterfaceEnabled(plugged.physicalDevice));
        // A port number taken by a start that failed stays taken until the removal, so the
        // next start that takes one shows whether this one did.
        EXPECT_EQ(c.portNumber != kNoPort, Extension(plugged)->PortNumberHeld != 0);
        if (c.portNumber != kNoPort) {
            EXPECT_EQ(ULONG(c.portNumber), Extension(plugged)->PortNumber);
        }
    }
    EXPECT_TRUE(host.objects().SymbolicLinks().empty());
}

KDX_FOR_BOTH_BUS_MODES(StartTest);

}  // namespace
