// Serial device-control requests: every code's buffer check and answer, the validation of the
// line, handflow and character settings that are then refused, the timeouts, queue sizes, wait
// mask, purge and status requests that are real, and the fixed values a program reads back.
#include <gtest/gtest.h>

#include "support/port_fixture.h"

using namespace kdxtest;

namespace {

// One request code: its value, the buffer it needs, an input that passes its checks, and the
// answer to that input.
struct Code {
    const char* name;
    ULONG value;
    ULONG declared;  // the host header's constant
    ULONG inputMinimum;
    ULONG outputMinimum;
    std::vector<UCHAR> input;
    NTSTATUS status;
    ULONG_PTR information;
};

std::vector<UCHAR> Value(ULONG value) { return Bytes(value); }

const std::vector<Code>& Codes()
{
    static const std::vector<Code> codes = {
        {"SET_BAUD_RATE", 0x1B0004, IOCTL_SERIAL_SET_BAUD_RATE, 4, 0, Value(9600),
         STATUS_UNSUCCESSFUL, 0},
        {"SET_QUEUE_SIZE", 0x1B0008, IOCTL_SERIAL_SET_QUEUE_SIZE, 8, 0,
         Bytes(SERIAL_QUEUE_SIZE{4096, 4096}), STATUS_SUCCESS, 0},
        {"SET_LINE_CONTROL", 0x1B000C, IOCTL_SERIAL_SET_LINE_CONTROL, 3, 0,
         Bytes(SERIAL_LINE_CONTROL{STOP_BIT_1, NO_PARITY, 8}), STATUS_UNSUCCESSFUL, 0},
        {"SET_BREAK_ON", 0x1B0010, IOCTL_SERIAL_SET_BREAK_ON, 0, 0, {}, STATUS_SUCCESS, 0},
        {"SET_BREAK_OFF", 0x1B0014, IOCTL_SERIAL_SET_BREAK_OFF, 0, 0, {}, STATUS_SUCCESS, 0},
        {"IMMEDIATE_CHAR",
         0x1B0018,
         IOCTL_SERIAL_IMMEDIATE_CHAR,
         1,
         0,
         {'x'},
         STATUS_UNSUCCESSFUL,
         0},
        {"SET_TIMEOUTS", 0x1B001C, IOCTL_SERIAL_SET_TIMEOUTS, 20, 0, Bytes(Timeouts(0, 0, 0)),
         STATUS_SUCCESS, 0},
        {"GET_TIMEOUTS", 0x1B0020, IOCTL_SERIAL_GET_TIMEOUTS, 0, 20, {}, STATUS_SUCCESS, 20},
        {"SET_DTR", 0x1B0024, IOCTL_SERIAL_SET_DTR, 0, 0, {}, STATUS_UNSUCCESSFUL, 0},
        {"CLR_DTR", 0x1B0028, IOCTL_SERIAL_CLR_DTR, 0, 0, {}, STATUS_UNSUCCESSFUL, 0},
        {"RESET_DEVICE", 0x1B002C, IOCTL_SERIAL_RESET_DEVICE, 0, 0, {}, STATUS_SUCCESS, 0},
        {"SET_RTS", 0x1B0030, IOCTL_SERIAL_SET_RTS, 0, 0, {}, STATUS_UNSUCCESSFUL, 0},
        {"CLR_RTS", 0x1B0034, IOCTL_SERIAL_CLR_RTS, 0, 0, {}, STATUS_UNSUCCESSFUL, 0},
        {"SET_XOFF", 0x1B0038, IOCTL_SERIAL_SET_XOFF, 0, 0, {}, STATUS_UNSUCCESSFUL, 0},
        {"SET_XON", 0x1B003C, IOCTL_SERIAL_SET_XON, 0, 0, {}, STATUS_UNSUCCESSFUL, 0},
        {"GET_WAIT_MASK", 0x1B0040, IOCTL_SERIAL_GET_WAIT_MASK, 0, 4, {}, STATUS_SUCCESS, 4},
        {"SET_WAIT_MASK", 0x1B0044, IOCTL_SERIAL_SET_WAIT_MASK, 4, 0, Value(0), STATUS_SUCCESS, 4},
        // With the wait mask 0 a wait is refused rather than held.
        {"WAIT_ON_MASK",
         0x1B0048,
         IOCTL_SERIAL_WAIT_ON_MASK,
         0,
         4,
         {},
         STATUS_INVALID_PARAMETER,
         0},
        {"PURGE", 0x1B004C, IOCTL_SERIAL_PURGE, 4, 0, Value(SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS,
         0},
        {"GET_BAUD_RATE", 0x1B0050, IOCTL_SERIAL_GET_BAUD_RATE, 0, 4, {}, STATUS_SUCCESS, 4},
        {"GET_LINE_CONTROL", 0x1B0054, IOCTL_SERIAL_GET_LINE_CONTROL, 0, 3, {}, STATUS_SUCCESS, 3},
        {"GET_CHARS", 0x1B0058, IOCTL_SERIAL_GET_CHARS, 0, 6, {}, STATUS_SUCCESS, 6},
        {"SET_CHARS", 0x1B005C, IOCTL_SERIAL_SET_CHARS, 6, 0,
         Bytes(SERIAL_CHARS{0, 0, 0, 0, 0x11, 0x13}), STATUS_UNSUCCESSFUL, 0},
        {"GET_HANDFLOW", 0x1B0060, IOCTL_SERIAL_GET_HANDFLOW, 0, 16, {}, STATUS_SUCCESS, 16},
        {"SET_HANDFLOW", 0x1B0064, IOCTL_SERIAL_SET_HANDFLOW, 16, 0,
         Bytes(SERIAL_HANDFLOW{0, 0, 2048, 512}), STATUS_UNSUCCESSFUL, 0},
        {"GET_MODEMSTATUS", 0x1B0068, IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4, {}, STATUS_SUCCESS, 4},
        {"GET_COMMSTATUS", 0x1B006C, IOCTL_SERIAL_GET_COMMSTATUS, 0, 20, {}, STATUS_SUCCESS, 20},
        {"XOFF_COUNTER", 0x1B0070, IOCTL_SERIAL_XOFF_COUNTER, 12, 0,
         Bytes(SERIAL_XOFF_COUNTER{100, 1, 0x13}), STATUS_SUCCESS, 0},
        {"GET_PROPERTIES", 0x1B0074, IOCTL_SERIAL_GET_PROPERTIES, 0, 64, {}, STATUS_SUCCESS, 64},
        {"GET_DTRRTS", 0x1B0078, IOCTL_SERIAL_GET_DTRRTS, 0, 4, {}, STATUS_SUCCESS, 4},
        {"LSRMST_INSERT", 0x1B007C, IOCTL_SERIAL_LSRMST_INSERT, 1, 0, {0}, STATUS_UNSUCCESSFUL, 0},
        {"CONFIG_SIZE", 0x1B0080, IOCTL_SERIAL_CONFIG_SIZE, 0, 4, {}, STATUS_SUCCESS, 4},
        {"GET_STATS", 0x1B008C, IOCTL_SERIAL_GET_STATS, 0, 24, {}, STATUS_SUCCESS, 24},
        {"CLEAR_STATS", 0x1B0090, IOCTL_SERIAL_CLEAR_STATS, 0, 0, {}, STATUS_SUCCESS, 0},
        {"GET_MODEM_CONTROL",
         0x1B0094,
         IOCTL_SERIAL_GET_MODEM_CONTROL,
         0,
         4,
         {},
         STATUS_UNSUCCESSFUL,
         0},
        {"SET_MODEM_CONTROL", 0x1B0098, IOCTL_SERIAL_SET_MODEM_CONTROL, 4, 0, Value(0),
         STATUS_UNSUCCESSFUL, 0},
        {"SET_FIFO_CONTROL", 0x1B009C, IOCTL_SERIAL_SET_FIFO_CONTROL, 4, 0, Value(0),
         STATUS_UNSUCCESSFUL, 0},
    };
    return codes;
}

class DeviceControlTest : public PortTest {
protected:
    void SetUp() override
    {
        PortTest::SetUp();
        OpenPort(kOtherProduct);
    }

    NTSTATUS Send(ULONG code, const std::vector<UCHAR>& input)
    {
        host::IoResult result = Control(portHandle, code, input);
        EXPECT_EQ(0u, result.information) << "request " << Hex(code);
        return result.status;
    }
    NTSTATUS SetLine(UCHAR stopBits, UCHAR parity, UCHAR wordLength)
    {
        return Send(IOCTL_SERIAL_SET_LINE_CONTROL,
                    Bytes(SERIAL_LINE_CONTROL{stopBits, parity, wordLength}));
    }
    NTSTATUS SetHandFlow(ULONG controlHandShake, ULONG flowReplace, LONG xonLimit = 0,
                         LONG xoffLimit = 0)
    {
        return Send(IOCTL_SERIAL_SET_HANDFLOW,
                    Bytes(SERIAL_HANDFLOW{controlHandShake, flowReplace, xonLimit, xoffLimit}));
    }
    NTSTATUS SetQueueSize(ULONG in, ULONG out)
    {
        return Send(IOCTL_SERIAL_SET_QUEUE_SIZE, Bytes(SERIAL_QUEUE_SIZE{in, out}));
    }
    NTSTATUS Purge(ULONG mask) { return Send(IOCTL_SERIAL_PURGE, Value(mask)); }
};

TEST_P(DeviceControlTest, EveryCodeChecksItsBufferAndAnswersAsItsKindOfRequest)
{
    for (const Code& code : Codes()) {
        SCOPED_TRACE(std::string(code.name) + " " + Hex(code.value));
        EXPECT_EQ(code.value, code.declared) << "the header's value";
        if (code.inputMinimum != 0) {
            std::vector<UCHAR> shortInput(code.input.begin(), code.input.end() - 1);
            host::IoResult result = Control(portHandle, code.value, shortInput, code.outputMinimum);
            EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, result.status) << "input one byte short";
            EXPECT_EQ(0u, result.information);
        }
        if (code.outputMinimum != 0) {
            host::IoResult result =
                Control(portHandle, code.value, code.input, code.outputMinimum - 1);
            EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, result.status) << "output one byte short";
            EXPECT_EQ(0u, result.information);
        }
        host::IoResult result = Control(portHandle, code.value, code.input, code.outputMinimum);
        EXPECT_EQ(code.status, result.status) << "with the buffer it needs";
        EXPECT_EQ(code.information, result.information) << "with the buffer it needs";
    }
}

TEST_P(DeviceControlTest, CodesOutsideTheTableAreInvalidParameters)
{
    for (ULONG code : {ULONG(IOCTL_SERIAL_GET_COMMCONFIG), ULONG(IOCTL_SERIAL_SET_COMMCONFIG),
                       0x1B0000u, 0x1B00A0u, 0x222000u}) {
        host::IoResult result = Control(portHandle, code, {0, 0, 0, 0}, 64);
        EXPECT_EQ(STATUS_INVALID_PARAMETER, result.status) << "code " << Hex(code);
        EXPECT_EQ(0u, result.information) << "code " << Hex(code);
    }
    EXPECT_EQ(0x1B0084u, ULONG(IOCTL_SERIAL_GET_COMMCONFIG));
    EXPECT_EQ(0x1B0088u, ULONG(IOCTL_SERIAL_SET_COMMCONFIG));
}

TEST_P(DeviceControlTest, EveryCodeIsDeniedWhileThePortIsNotOpen)
{
    ClosePort();
    for (const Code& code : Codes()) {
        EXPECT_EQ(STATUS_ACCESS_DENIED,
                  ControlWithoutHandle(code.value, code.inputMinimum, code.outputMinimum))
            << code.name << " after the close";
    }
    EXPECT_EQ(STATUS_ACCESS_DENIED, ControlWithoutHandle(0x222000)) << "an unknown code as well";
}

TEST_P(DeviceControlTest, ALineControlIsValidatedLikeARealPortsThenRefused)
{
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SetLine(STOP_BIT_1, NO_PARITY, 9)) << "9 data bits";
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SetLine(STOP_BIT_1, NO_PARITY, 4)) << "4 data bits";
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SetLine(STOP_BIT_1, 5, 8)) << "parity 5";
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SetLine(STOP_BITS_1_5, NO_PARITY, 8))
        << "1.5 stop bits with 8 data bits";
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SetLine(STOP_BITS_2, NO_PARITY, 5))
        << "2 stop bits with 5 data bits";
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SetLine(3, NO_PARITY, 8)) << "stop bits 3";

    EXPECT_EQ(STATUS_UNSUCCESSFUL, SetLine(STOP_BITS_1_5, NO_PARITY, 5))
        << "1.5 stop bits with 5 data bits";
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SetLine(STOP_BITS_2, SPACE_PARITY, 6));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SetLine(STOP_BIT_1, EVEN_PARITY, 7));
}

TEST_P(DeviceControlTest, AHandflowIsValidatedWithoutLookingAtTheLimitsThenRefused)
{
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SetHandFlow(0x04, 0)) << "an invalid control bit";
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SetHandFlow(0x40000000, 0)) << "an invalid control bit";
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SetHandFlow(0, 0x20)) << "an invalid flow bit";
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SetHandFlow(SERIAL_DTR_MASK, 0)) << "both DTR bits";

    EXPECT_EQ(STATUS_UNSUCCESSFUL, SetHandFlow(0x01 | 0x08, 0x80000000u | 0x03))
        << "DTR control, CTS handshake, automatic XON/XOFF";
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SetHandFlow(0, 0, -5, 1 << 30)) << "any limits";
}

TEST_P(DeviceControlTest, SpecialCharactersWithEqualXonAndXoffAreInvalidAndOthersRefused)
{
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              Send(IOCTL_SERIAL_SET_CHARS, Bytes(SERIAL_CHARS{0, 0, 0, 0, 0x11, 0x11})));
    EXPECT_EQ(STATUS_UNSUCCESSFUL,
              Send(IOCTL_SERIAL_SET_CHARS, Bytes(SERIAL_CHARS{0x1A, 0, 0, 0x0D, 0x13, 0x11})));
}

TEST_P(DeviceControlTest, TimeoutsAreRefusedOnlyWithAllThreeReadTermsAtTheMaximum)
{
    SERIAL_TIMEOUTS stored = Timeouts(MAXULONG, MAXULONG, 250, 3, 400);
    EXPECT_EQ(STATUS_SUCCESS, Send(IOCTL_SERIAL_SET_TIMEOUTS, Bytes(stored)))
        << "two read terms at the maximum";
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              Send(IOCTL_SERIAL_SET_TIMEOUTS, Bytes(Timeouts(MAXULONG, MAXULONG, MAXULONG, 1, 1))));

    SERIAL_TIMEOUTS read = Get<SERIAL_TIMEOUTS>(portHandle, IOCTL_SERIAL_GET_TIMEOUTS);
    EXPECT_EQ(0, memcmp(&stored, &read, sizeof(read)))
        << "the refused timeouts left the stored ones: " << read.ReadIntervalTimeout << "/"
        << read.ReadTotalTimeoutMultiplier << "/" << read.ReadTotalTimeoutConstant << "/"
        << read.WriteTotalTimeoutMultiplier << "/" << read.WriteTotalTimeoutConstant;
}

TEST_P(DeviceControlTest, QueueSizesUpTo4096AreAcceptedAndLargerOnesRefused)
{
    EXPECT_EQ(STATUS_SUCCESS, SetQueueSize(4096, 4096));
    EXPECT_EQ(STATUS_SUCCESS, SetQueueSize(0, 1));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SetQueueSize(4097, 4096));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SetQueueSize(4096, 4097));
}

TEST_P(DeviceControlTest, AWaitMaskIsStoredUpTo0x1FFFAndRefusedBeyond)
{
    host::IoResult refused = Control(portHandle, IOCTL_SERIAL_SET_WAIT_MASK, Value(0x2000));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, refused.status);
    EXPECT_EQ(0u, refused.information);
    EXPECT_EQ(0u, Get<ULONG>(portHandle, IOCTL_SERIAL_GET_WAIT_MASK)) << "after 0x2000";

    host::IoResult stored = Control(portHandle, IOCTL_SERIAL_SET_WAIT_MASK, Value(0x1FFF));
    EXPECT_EQ(STATUS_SUCCESS, stored.status);
    EXPECT_EQ(4u, stored.information);
    EXPECT_EQ(0x1FFFu, Get<ULONG>(portHandle, IOCTL_SERIAL_GET_WAIT_MASK));

    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              Control(portHandle, IOCTL_SERIAL_SET_WAIT_MASK, Value(0x80000001u)).status);
    EXPECT_EQ(0x1FFFu, Get<ULONG>(portHandle, IOCTL_SERIAL_GET_WAIT_MASK)) << "unchanged";
}

TEST_P(DeviceControlTest, AnXoffCounterNeedsAPositiveCount)
{
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              Send(IOCTL_SERIAL_XOFF_COUNTER, Bytes(SERIAL_XOFF_COUNTER{100, 0, 0x13})));
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              Send(IOCTL_SERIAL_XOFF_COUNTER, Bytes(SERIAL_XOFF_COUNTER{100, -1, 0x13})));
    EXPECT_EQ(STATUS_SUCCESS,
              Send(IOCTL_SERIAL_XOFF_COUNTER, Bytes(SERIAL_XOFF_COUNTER{0, 1000, 0})));
}

TEST_P(DeviceControlTest, PurgeRefusesEmptyAndUnknownMasksAndOnlyAbortEmptiesTheReceiveBuffer)
{
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Purge(0));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Purge(0x10));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Purge(0x1F));

    WaitForReceivePump();
    Receive(portHandle, {1, 2, 3, 4, 5}, 5);
    EXPECT_EQ(STATUS_SUCCESS, Purge(SERIAL_PURGE_RXCLEAR));
    EXPECT_EQ(5u, CommStatus(portHandle).AmountInInQueue) << "after RXCLEAR";
    EXPECT_EQ(STATUS_SUCCESS, Purge(SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR));
    EXPECT_EQ(5u, CommStatus(portHandle).AmountInInQueue) << "after the transmit purges";
    EXPECT_EQ(STATUS_SUCCESS, Purge(SERIAL_PURGE_RXABORT));
    EXPECT_EQ(0u, CommStatus(portHandle).AmountInInQueue) << "after RXABORT";

    // The pump goes on: bytes that arrive after the purge are buffered as before.
    Receive(portHandle, {6, 7}, 2);
    host::IoResult read = app().Read(portHandle, 16);
    EXPECT_EQ(STATUS_SUCCESS, read.status);
    EXPECT_EQ((std::vector<UCHAR>{6, 7}), read.output) << "only what came after the purge";
}

// Queued requests have no cancel routine: a purge marks them, and each is completed as
// cancelled when its worker reaches it, after the request in progress.
TEST_P(DeviceControlTest, PurgeCancelsQueuedReadsAndWritesButNotTheOnesInProgress)
{
    host::OutstandingRequest current = app().StartRead(portHandle, 4);
    ASSERT_TRUE(WaitUntilTheReadWaits()) << "the first read waits for data";
    host::OutstandingRequest queuedRead = app().StartRead(portHandle, 4);
    Device().HoldOut(true);
    host::OutstandingRequest sending = app().StartWrite(portHandle, {1, 2});
    ASSERT_TRUE(WaitForTransfers(host::Direction::Out, 1)) << "the device holds the first write";
    host::OutstandingRequest queuedWrite = app().StartWrite(portHandle, {3});

    EXPECT_EQ(STATUS_SUCCESS, Purge(SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXABORT));
    host.Sleep(host::Milliseconds(100));
    EXPECT_FALSE(current.Completed()) << "the read waiting for data goes on";
    EXPECT_FALSE(sending.Completed()) << "the write in flight goes on";

    Device().HoldOut(false);
    host::IoResult sent = sending.Wait();
    EXPECT_EQ(STATUS_SUCCESS, sent.status);
    EXPECT_EQ(2u, sent.information);
    EXPECT_EQ(STATUS_CANCELLED, queuedWrite.Wait().status) << "the queued write";
    std::vector<std::vector<UCHAR>> reached = Device().TakeOutTransfers();
    ASSERT_EQ(1u, reached.size()) << "only the first write reached the device";
    EXPECT_EQ((std::vector<UCHAR>{1, 2}), reached[0]);

    Device().OfferIn({9, 8});
    host::IoResult read = current.Wait();
    EXPECT_EQ(STATUS_SUCCESS, read.status);
    EXPECT_EQ((std::vector<UCHAR>{9, 8}), read.output);
    host::IoResult cancelledRead = queuedRead.Wait();
    EXPECT_EQ(STATUS_CANCELLED, cancelledRead.status) << "the queued read";
    EXPECT_EQ(0u, cancelledRead.information);
}

// The pump stops reading while more than 4096 bytes are buffered; emptying the buffer lets it
// read what the device still holds.
TEST_P(DeviceControlTest, PurgeRxabortLetsAPumpThatWaitsForRoomReadOn)
{
    WaitForReceivePump();
    Receive(portHandle, std::vector<UCHAR>(7000, 0x44), 6144);
    EXPECT_EQ(STATUS_SUCCESS, Purge(SERIAL_PURGE_RXCLEAR));
    host.Sleep(host::Milliseconds(100));
    EXPECT_EQ(6144u, CommStatus(portHandle).AmountInInQueue) << "RXCLEAR makes no room";
    EXPECT_EQ(7000u - 6144u, Device().QueuedInBytes()) << "still at the device";

    EXPECT_EQ(STATUS_SUCCESS, Purge(SERIAL_PURGE_RXABORT));
    EXPECT_TRUE(WaitUntil([&] { return CommStatus(portHandle).AmountInInQueue == 7000 - 6144; }))
        << "buffered after RXABORT: " << CommStatus(portHandle).AmountInInQueue;
    EXPECT_EQ(0u, Device().QueuedInBytes());
}

TEST_P(DeviceControlTest, ThePropertiesDescribeASerialPortWithTheOpenReceiveBuffer)
{
    SERIAL_COMMPROP properties = Get<SERIAL_COMMPROP>(portHandle, IOCTL_SERIAL_GET_PROPERTIES);
    EXPECT_EQ(64u, sizeof(SERIAL_COMMPROP));
    EXPECT_EQ(64u, properties.PacketLength);
    EXPECT_EQ(2u, properties.PacketVersion);
    EXPECT_EQ(1u, properties.ServiceMask);
    EXPECT_EQ(0u, properties.Reserved1);
    EXPECT_EQ(0u, properties.MaxTxQueue);
    EXPECT_EQ(0u, properties.MaxRxQueue);
    EXPECT_EQ(0x10000000u, properties.MaxBaud);
    EXPECT_EQ(1u, properties.ProvSubType);
    EXPECT_EQ(0xFFu, properties.ProvCapabilities);
    EXPECT_EQ(0x7Fu, properties.SettableParams);
    EXPECT_EQ(0x10000800u, properties.SettableBaud);
    EXPECT_EQ(0x000Fu, properties.SettableData);
    EXPECT_EQ(0x1F07u, properties.SettableStopParity);
    EXPECT_EQ(0u, properties.CurrentTxQueue);
    EXPECT_EQ(4096u, properties.CurrentRxQueue) << "while open";
    EXPECT_EQ(0u, properties.ProvSpec1);
    EXPECT_EQ(0u, properties.ProvSpec2);
    EXPECT_EQ(0u, properties.ProvChar[0]);
}

TEST_P(DeviceControlTest, AProgramThatSetsTheLineIsRefusedAndStillReadsTheFixedSettings)
{
    EXPECT_EQ(STATUS_UNSUCCESSFUL, Send(IOCTL_SERIAL_SET_BAUD_RATE, Value(115200)));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SetLine(STOP_BITS_2, EVEN_PARITY, 7));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SetHandFlow(0x01 | 0x08, 0x03, 100, 200));
    EXPECT_EQ(STATUS_UNSUCCESSFUL,
              Send(IOCTL_SERIAL_SET_CHARS, Bytes(SERIAL_CHARS{0x1A, 1, 2, 0x0D, 0x01, 0x02})));

    EXPECT_EQ(9600u, Get<ULONG>(portHandle, IOCTL_SERIAL_GET_BAUD_RATE));
    SERIAL_LINE_CONTROL line = Get<SERIAL_LINE_CONTROL>(portHandle, IOCTL_SERIAL_GET_LINE_CONTROL);
    EXPECT_EQ(STOP_BIT_1, line.StopBits);
    EXPECT_EQ(NO_PARITY, line.Parity);
    EXPECT_EQ(8, line.WordLength);
    SERIAL_HANDFLOW handFlow = Get<SERIAL_HANDFLOW>(portHandle, IOCTL_SERIAL_GET_HANDFLOW);
    EXPECT_EQ(0u, handFlow.ControlHandShake);
    EXPECT_EQ(0u, handFlow.FlowReplace);
    EXPECT_EQ(2048, handFlow.XonLimit);
    EXPECT_EQ(512, handFlow.XoffLimit);
    SERIAL_CHARS chars = Get<SERIAL_CHARS>(portHandle, IOCTL_SERIAL_GET_CHARS);
    EXPECT_EQ(0x11, chars.XonChar);
    EXPECT_EQ(0x13, chars.XoffChar);
    EXPECT_EQ(0, chars.EofChar);
    EXPECT_EQ(0, chars.EventChar);
    EXPECT_EQ(0u, Get<ULONG>(portHandle, IOCTL_SERIAL_GET_MODEMSTATUS));
    EXPECT_EQ(0u, Get<ULONG>(portHandle, IOCTL_SERIAL_GET_DTRRTS));
    EXPECT_EQ(0u, Get<ULONG>(portHandle, IOCTL_SERIAL_CONFIG_SIZE));
}

TEST_P(DeviceControlTest, TheStatusShowsAWriteHeldByTheDeviceAsItsOutputQueue)
{
    Device().HoldOut(true);
    host::OutstandingRequest write = app().StartWrite(portHandle, std::vector<UCHAR>(10, 0x41));
    ASSERT_TRUE(WaitForTransfers(host::Direction::Out, 1)) << "the write reaches the device";
    SERIAL_STATUS status = CommStatus(portHandle);
    EXPECT_EQ(10u, status.AmountInOutQueue) << "while the device holds the write";
    EXPECT_EQ(0u, status.AmountInInQueue);
    EXPECT_EQ(0u, status.Errors);
    EXPECT_EQ(0u, status.HoldReasons);
    EXPECT_EQ(0, status.EofReceived);
    EXPECT_EQ(0, status.WaitForImmediate);

    Device().HoldOut(false);
    EXPECT_EQ(STATUS_SUCCESS, write.Wait().status);
    EXPECT_EQ(0u, CommStatus(portHandle).AmountInOutQueue) << "after the write";
}

TEST_P(DeviceControlTest, StatisticsCountWrittenAndReceivedBytesUntilCleared)
{
    EXPECT_EQ(STATUS_SUCCESS, app().Write(portHandle, std::vector<UCHAR>(7, 1)).status);
    WaitForReceivePump();
    Receive(portHandle, {1, 2, 3, 4}, 4);
    SERIALPERF_STATS stats = Get<SERIALPERF_STATS>(portHandle, IOCTL_SERIAL_GET_STATS);
    EXPECT_EQ(4u, stats.ReceivedCount);
    EXPECT_EQ(7u, stats.TransmittedCount);
    EXPECT_EQ(0u, stats.FrameErrorCount + stats.SerialOverrunErrorCount +
                      stats.BufferOverrunErrorCount + stats.ParityErrorCount);

    EXPECT_EQ(STATUS_SUCCESS, Control(portHandle, IOCTL_SERIAL_CLEAR_STATS).status);
    stats = Get<SERIALPERF_STATS>(portHandle, IOCTL_SERIAL_GET_STATS);
    EXPECT_EQ(0u, stats.ReceivedCount) << "after clearing";
    EXPECT_EQ(0u, stats.TransmittedCount) << "after clearing";
}

// Product 0x005B resets its USB port at open; a port that reads disconnected then marks the
// device gone, and the open still succeeds.
class GoneDeviceTest : public PortTest {};

TEST_P(GoneDeviceTest, ADeviceFoundGoneAnswersOnlyTheStatusQueryWithAnAllZeroRecord)
{
    PlugPort(kNumberedProduct);
    host::Pool::Outstanding plugged = host.pool().OutstandingBlocks(host.driver());
    Device().SetPortConnected(false);
    portHandle = Open();
    ASSERT_NE(nullptr, portHandle);
    EXPECT_EQ(1, PortExtension()->DeviceGone);

    host::IoResult status = Control(portHandle, IOCTL_SERIAL_GET_COMMSTATUS, {}, 20);
    EXPECT_EQ(STATUS_SUCCESS, status.status);
    EXPECT_EQ(std::vector<UCHAR>(20, 0), status.output) << "an all-zero status record";
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL,
              Control(portHandle, IOCTL_SERIAL_GET_COMMSTATUS, {}, 19).status);
    for (const Code& code : Codes()) {
        if (code.value == IOCTL_SERIAL_GET_COMMSTATUS) continue;
        host::IoResult refused = Control(portHandle, code.value, code.input, code.outputMinimum);
        EXPECT_EQ(STATUS_ACCESS_DENIED, refused.status) << code.name;
        EXPECT_EQ(0u, refused.information) << code.name;
    }

    EXPECT_EQ(STATUS_SUCCESS, ClosePort()) << "the close of a gone device";
    EXPECT_EQ(0, PortExtension()->OpenCount);
    EXPECT_EQ(0, PortExtension()->HandleOpen);
    EXPECT_EQ(0, PortExtension()->PortOpen);
    EXPECT_EQ(plugged.count, host.pool().OutstandingBlocks(host.driver()).count);
    EXPECT_EQ(STATUS_DELETE_PENDING, TryOpen().status) << "no open of a gone device";
}

KDX_FOR_BOTH_BUS_MODES(DeviceControlTest);
KDX_FOR_BOTH_BUS_MODES(GoneDeviceTest);

}  // namespace
