// The internal serial requests that stacked drivers send (basic settings, restore, wait-wake),
// and the query-information, set-information and flush requests of the communication
// functions: their answers, and that they answer whatever state the port and device are in.
#include <gtest/gtest.h>

#include "support/driver_fixture.h"
#include "support/port_requests.h"

using namespace kdxtest;

namespace {

struct Answer {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
};

// Every member of a basic-settings record, for comparisons that show the whole record.
std::string Describe(const SERIAL_BASIC_SETTINGS& settings)
{
    const SERIAL_TIMEOUTS& t = settings.Timeouts;
    const SERIAL_HANDFLOW& h = settings.HandFlow;
    char text[256];
    snprintf(text, sizeof(text),
             "timeouts %u %u %u %u %u, handflow 0x%X 0x%X %d %d, fifos rx %u tx %u",
             unsigned(t.ReadIntervalTimeout), unsigned(t.ReadTotalTimeoutMultiplier),
             unsigned(t.ReadTotalTimeoutConstant), unsigned(t.WriteTotalTimeoutMultiplier),
             unsigned(t.WriteTotalTimeoutConstant), unsigned(h.ControlHandShake),
             unsigned(h.FlowReplace), int(h.XonLimit), int(h.XoffLimit), unsigned(settings.RxFifo),
             unsigned(settings.TxFifo));
    return text;
}

class MinorDispatch : public BusModeTest {
protected:
    // Sends a request of `major` with a system buffer of `size` bytes (filled from `input`)
    // as another kernel component would; `setup` fills the stack location.
    Answer Send(UCHAR major, const std::function<void(PIO_STACK_LOCATION)>& setup,
                std::vector<UCHAR>* buffer)
    {
        Answer answer;
        answer.status = host.pnp().Send(plugged.physicalDevice, major, 0, setup,
                                        &answer.information, STATUS_SUCCESS, 0, [buffer](PIRP irp) {
                                            irp->AssociatedIrp.SystemBuffer =
                                                buffer->empty() ? nullptr : buffer->data();
                                        });
        return answer;
    }

    Answer Internal(ULONG code, std::vector<UCHAR>* buffer, ULONG inputLength, ULONG outputLength)
    {
        return Send(
            IRP_MJ_INTERNAL_DEVICE_CONTROL,
            [=](PIO_STACK_LOCATION stack) {
                stack->Parameters.DeviceIoControl.IoControlCode = code;
                stack->Parameters.DeviceIoControl.InputBufferLength = inputLength;
                stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
            },
            buffer);
    }

    Answer BasicSettings(SERIAL_BASIC_SETTINGS* saved)
    {
        std::vector<UCHAR> buffer(sizeof(SERIAL_BASIC_SETTINGS), 0xCC);
        Answer answer = Internal(IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, &buffer, 0,
                                 sizeof(SERIAL_BASIC_SETTINGS));
        memcpy(saved, buffer.data(), sizeof(*saved));
        return answer;
    }

    Answer Restore(const SERIAL_BASIC_SETTINGS& settings, ULONG length)
    {
        std::vector<UCHAR> buffer(sizeof(settings));
        memcpy(buffer.data(), &settings, sizeof(settings));
        return Internal(IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, &buffer, length, 0);
    }

    Answer QueryInformation(FILE_INFORMATION_CLASS informationClass, std::vector<UCHAR>* buffer)
    {
        return Send(
            IRP_MJ_QUERY_INFORMATION,
            [=](PIO_STACK_LOCATION stack) {
                stack->Parameters.QueryFile.Length = ULONG(buffer->size());
                stack->Parameters.QueryFile.FileInformationClass = informationClass;
            },
            buffer);
    }

    Answer SetInformation(FILE_INFORMATION_CLASS informationClass)
    {
        std::vector<UCHAR> buffer(sizeof(LARGE_INTEGER), 0);
        return Send(
            IRP_MJ_SET_INFORMATION,
            [=](PIO_STACK_LOCATION stack) {
                stack->Parameters.SetFile.Length = sizeof(LARGE_INTEGER);
                stack->Parameters.SetFile.FileInformationClass = informationClass;
            },
            &buffer);
    }

    Answer Flush()
    {
        std::vector<UCHAR> none;
        return Send(IRP_MJ_FLUSH_BUFFERS, nullptr, &none);
    }

    // Every routine answers as it always does.
    void ExpectAllAnswer()
    {
        SERIAL_BASIC_SETTINGS saved{};
        EXPECT_EQ(STATUS_SUCCESS, BasicSettings(&saved).status);
        EXPECT_EQ(STATUS_SUCCESS, Restore(saved, sizeof(saved)).status);
        std::vector<UCHAR> position(sizeof(FILE_POSITION_INFORMATION), 0xCC);
        Answer query = QueryInformation(FilePositionInformation, &position);
        EXPECT_EQ(STATUS_SUCCESS, query.status);
        EXPECT_EQ(sizeof(FILE_POSITION_INFORMATION), query.information);
        EXPECT_EQ(STATUS_SUCCESS, SetInformation(FileEndOfFileInformation).status);
        EXPECT_EQ(STATUS_SUCCESS, Flush().status);
        EXPECT_EQ(STATUS_NOT_SUPPORTED,
                  Internal(IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE, &position, 0, 0).status);
    }

    void SetUp() override
    {
        BusModeTest::SetUp();
        plugged = Plug(Adapter(kNumberedProduct));
        ASSERT_EQ(STATUS_SUCCESS, plugged.startStatus);
    }

    Plugged plugged;
};

TEST_P(MinorDispatch, BasicSettingsAfterStartSaveZeroTimeoutsAndATxFifoOfOneOnlyOnce)
{
    // After a start with no port open: no timeouts, no handshake or flow replacement, limits
    // of a receive buffer of size 0, a transmit FIFO of one.
    SERIAL_BASIC_SETTINGS afterStart{};
    afterStart.TxFifo = 1;
    SERIAL_BASIC_SETTINGS saved{};
    Answer first = BasicSettings(&saved);
    EXPECT_EQ(STATUS_SUCCESS, first.status);
    EXPECT_EQ(sizeof(SERIAL_BASIC_SETTINGS), first.information);
    EXPECT_EQ(Describe(afterStart), Describe(saved)) << "the record saved after the start";
    PDEVICE_EXTENSION extension = Extension(plugged);
    EXPECT_EQ(0u, extension->Timeouts.ReadTotalTimeoutConstant);

    SERIAL_BASIC_SETTINGS restored{};
    restored.Timeouts = {11, 22, 33, 44, 55};
    restored.HandFlow = {0x1, 0x2, 3, 4};  // ignored
    restored.RxFifo = 14;                  // ignored
    restored.TxFifo = 16;                  // ignored
    EXPECT_EQ(STATUS_SUCCESS, Restore(restored, sizeof(restored)).status);
    Answer second = BasicSettings(&saved);
    EXPECT_EQ(STATUS_SUCCESS, second.status);
    SERIAL_BASIC_SETTINGS afterRestore = afterStart;
    afterRestore.Timeouts = restored.Timeouts;
    afterRestore.TxFifo = 0;  // the first request cleared the FIFOs, the restore left them so
    EXPECT_EQ(Describe(afterRestore), Describe(saved)) << "the record saved after the restore";
    SERIAL_TIMEOUTS none{};
    EXPECT_EQ(0, memcmp(&none, &extension->Timeouts, sizeof(none)))
        << "the basic settings have no timeouts";
}

TEST_P(MinorDispatch, RestoreBringsTheSavedTimeoutsBackAndAShortRecordChangesNothing)
{
    SERIAL_BASIC_SETTINGS record{};
    record.Timeouts.ReadIntervalTimeout = 7;
    record.Timeouts.WriteTotalTimeoutConstant = 300;
    record.HandFlow.ControlHandShake = 0xFF;  // ignored
    record.TxFifo = 16;                       // ignored
    PDEVICE_EXTENSION extension = Extension(plugged);

    Answer shortRecord = Restore(record, sizeof(record) - 1);
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, shortRecord.status);
    EXPECT_EQ(0u, extension->Timeouts.ReadIntervalTimeout) << "a 43-byte record changes nothing";

    EXPECT_EQ(STATUS_SUCCESS, Restore(record, sizeof(record)).status);
    EXPECT_EQ(7u, extension->Timeouts.ReadIntervalTimeout);
    EXPECT_EQ(300u, extension->Timeouts.WriteTotalTimeoutConstant);
    EXPECT_EQ(0u, extension->HandFlow.ControlHandShake);
    EXPECT_EQ(0u, extension->TxFifo);

    SERIAL_BASIC_SETTINGS saved{};
    EXPECT_EQ(STATUS_SUCCESS, BasicSettings(&saved).status);
    EXPECT_EQ(7u, saved.Timeouts.ReadIntervalTimeout) << "saved before the basic settings";
    EXPECT_EQ(0u, extension->Timeouts.ReadIntervalTimeout);
    std::vector<UCHAR> small(sizeof(SERIAL_BASIC_SETTINGS) - 1);
    EXPECT_EQ(
        STATUS_BUFFER_TOO_SMALL,
        Internal(IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, &small, 0, ULONG(small.size())).status);
}

TEST_P(MinorDispatch, WaitWakeIsNotSupportedItsCancelSucceedsAndOtherCodesAreInvalid)
{
    std::vector<UCHAR> none;
    EXPECT_EQ(STATUS_NOT_SUPPORTED,
              Internal(IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE, &none, 0, 0).status);
    EXPECT_EQ(STATUS_SUCCESS, Internal(IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE, &none, 0, 0).status);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Internal(IOCTL_SERIAL_GET_COMMSTATUS, &none, 0, 0).status);
}

TEST_P(MinorDispatch, OnlyTheStandardAndPositionClassesCanBeQueried)
{
    std::vector<UCHAR> standard(sizeof(FILE_STANDARD_INFORMATION), 0xCC);
    Answer answer = QueryInformation(FileStandardInformation, &standard);
    EXPECT_EQ(STATUS_SUCCESS, answer.status);
    EXPECT_EQ(24u, answer.information);
    EXPECT_EQ(std::vector<UCHAR>(24, 0), standard) << "no size, no links, not a directory";

    std::vector<UCHAR> position(sizeof(FILE_POSITION_INFORMATION), 0xCC);
    answer = QueryInformation(FilePositionInformation, &position);
    EXPECT_EQ(STATUS_SUCCESS, answer.status);
    EXPECT_EQ(8u, answer.information);
    EXPECT_EQ(std::vector<UCHAR>(8, 0), position);

    std::vector<UCHAR> basic(40, 0xCC);
    answer = QueryInformation(FileBasicInformation, &basic);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, answer.status);
    EXPECT_EQ(0u, answer.information);
    EXPECT_EQ(std::vector<UCHAR>(40, 0xCC), basic) << "nothing written";
}

// A program's query into a buffer one byte short of the reply is refused with nothing returned.
TEST_P(MinorDispatch, AQueryIntoABufferTooShortForTheReplyIsRefused)
{
    host::OpenResult open = host.app().Open(u"VLT0");
    ASSERT_EQ(STATUS_SUCCESS, open.status);
    const std::pair<FILE_INFORMATION_CLASS, ULONG> replies[] = {
        {FileStandardInformation, ULONG(sizeof(FILE_STANDARD_INFORMATION))},
        {FilePositionInformation, ULONG(sizeof(FILE_POSITION_INFORMATION))}};
    for (const auto& [informationClass, size] : replies) {
        SCOPED_TRACE("information class " + std::to_string(informationClass));
        host::IoResult answer =
            host.app().QueryInformation(open.handle, informationClass, size - 1);
        EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, answer.status);
        EXPECT_EQ(0u, answer.information);
        answer = host.app().QueryInformation(open.handle, informationClass, size);
        EXPECT_EQ(STATUS_SUCCESS, answer.status);
        EXPECT_EQ(std::vector<UCHAR>(size, 0), answer.output);
    }
    EXPECT_EQ(STATUS_SUCCESS, host.app().Close(open.handle));
}

TEST_P(MinorDispatch, OnlyTheEndOfFileCanBeSetAndFlushSucceeds)
{
    EXPECT_EQ(STATUS_SUCCESS, SetInformation(FileEndOfFileInformation).status);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SetInformation(FileAllocationInformation).status);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SetInformation(FileBasicInformation).status);
    EXPECT_EQ(STATUS_SUCCESS, Flush().status);
}

TEST_P(MinorDispatch, AllAnswerWithThePortClosedOpenOrTheDeviceBeingRemoved)
{
    {
        SCOPED_TRACE("port closed");
        ExpectAllAnswer();
    }
    host::OpenResult open = host.app().Open(u"VLT0");
    ASSERT_EQ(STATUS_SUCCESS, open.status);
    {
        SCOPED_TRACE("port open");
        ExpectAllAnswer();
    }
    host.pnp().Unplug(plugged.physicalDevice);
    ASSERT_TRUE(host.pnp().RemovalWaiting(plugged.physicalDevice));
    {
        SCOPED_TRACE("device surprise-removed, removal waiting for the handle");
        ExpectAllAnswer();
    }
    EXPECT_EQ(STATUS_SUCCESS, host.app().Close(open.handle));
    host.UnloadDriver();
}

KDX_FOR_BOTH_BUS_MODES(MinorDispatch);

}  // namespace
