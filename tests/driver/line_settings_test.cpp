// The AcceptLineSettings value of the hardware key: off (absent, 0 or malformed), the line
// requests are validated and refused as ever; on (a REG_DWORD 1 when the device starts), they
// are validated the same way and then remembered and reported back, DTR and RTS follow their
// requests and the modem status shows a connected line. Side by side, through the I/O manager.
#include <gtest/gtest.h>

#include "support/port_fixture.h"

using namespace kdxtest;

namespace {

using RegistryValue = host::DeviceModel::RegistryValue;

constexpr ULONG kConnectedLine = SERIAL_CTS_STATE | SERIAL_DSR_STATE | SERIAL_DCD_STATE;

class LineSettings : public PortTest {
protected:
    // Plugs a numbered-port adapter whose hardware key holds `values` before the driver starts,
    // and opens its port.
    void OpenWith(std::vector<RegistryValue> values)
    {
        host::DeviceModel adapter = Adapter(kNumberedProduct);
        adapter.hardwareKeyValues = std::move(values);
        port = Plug(adapter);
        ASSERT_EQ(STATUS_SUCCESS, port.startStatus);
        portName = PortNameValue(port.physicalDevice);
        portHandle = Open();
        ASSERT_NE(nullptr, portHandle);
    }
    void OpenAccepting() { OpenWith({RegistryValue::Dword(u"AcceptLineSettings", 1)}); }

    NTSTATUS Send(ULONG code, const std::vector<UCHAR>& input = {})
    {
        return Control(portHandle, code, input).status;
    }
    NTSTATUS SetBaud(ULONG rate) { return Send(IOCTL_SERIAL_SET_BAUD_RATE, Bytes(rate)); }
    NTSTATUS SetLine(UCHAR stopBits, UCHAR parity, UCHAR wordLength)
    {
        return Send(IOCTL_SERIAL_SET_LINE_CONTROL,
                    Bytes(SERIAL_LINE_CONTROL{stopBits, parity, wordLength}));
    }
    NTSTATUS SetHandFlow(const SERIAL_HANDFLOW& handFlow)
    {
        return Send(IOCTL_SERIAL_SET_HANDFLOW, Bytes(handFlow));
    }
    // Every character set, the four besides XON and XOFF as kOtherChars has them.
    NTSTATUS SetChars(UCHAR xon, UCHAR xoff)
    {
        SERIAL_CHARS chars = kOtherChars;
        chars.XonChar = xon;
        chars.XoffChar = xoff;
        return Send(IOCTL_SERIAL_SET_CHARS, Bytes(chars));
    }

    ULONG Baud() { return Get<ULONG>(portHandle, IOCTL_SERIAL_GET_BAUD_RATE); }
    SERIAL_LINE_CONTROL Line()
    {
        return Get<SERIAL_LINE_CONTROL>(portHandle, IOCTL_SERIAL_GET_LINE_CONTROL);
    }
    SERIAL_HANDFLOW HandFlow()
    {
        return Get<SERIAL_HANDFLOW>(portHandle, IOCTL_SERIAL_GET_HANDFLOW);
    }
    SERIAL_CHARS Chars() { return Get<SERIAL_CHARS>(portHandle, IOCTL_SERIAL_GET_CHARS); }
    ULONG DtrRts() { return Get<ULONG>(portHandle, IOCTL_SERIAL_GET_DTRRTS); }
    ULONG ModemStatus() { return Get<ULONG>(portHandle, IOCTL_SERIAL_GET_MODEMSTATUS); }

    // 115200 baud, 7E2, RTS handshake, XON 'Q' and XOFF 'S' and the other characters of
    // kOtherChars: a set of valid settings unlike the defaults in every part.
    static constexpr ULONG kRate = 115200;
    static constexpr SERIAL_CHARS kOtherChars{0x1A, '?', 0x7F, '\n', 0, 0};
    static SERIAL_HANDFLOW OtherHandFlow()
    {
        return SERIAL_HANDFLOW{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 100, 200};
    }
    void SetEverything()
    {
        EXPECT_EQ(STATUS_SUCCESS, SetBaud(kRate));
        EXPECT_EQ(STATUS_SUCCESS, SetLine(STOP_BITS_2, EVEN_PARITY, 7));
        EXPECT_EQ(STATUS_SUCCESS, SetHandFlow(OtherHandFlow()));
        EXPECT_EQ(STATUS_SUCCESS, SetChars('Q', 'S'));
        EXPECT_EQ(STATUS_SUCCESS, Send(IOCTL_SERIAL_SET_DTR));
        EXPECT_EQ(STATUS_SUCCESS, Send(IOCTL_SERIAL_SET_RTS));
    }
    // An open sets the handflow's limits from its receive buffer: after a reopen only the
    // handshake words are the ones set (`limits` false).
    void ExpectEverythingSet(bool limits = true)
    {
        EXPECT_EQ(kRate, Baud());
        SERIAL_LINE_CONTROL line = Line();
        EXPECT_EQ(STOP_BITS_2, line.StopBits);
        EXPECT_EQ(EVEN_PARITY, line.Parity);
        EXPECT_EQ(7, line.WordLength);
        SERIAL_HANDFLOW handFlow = HandFlow();
        EXPECT_EQ(ULONG(SERIAL_DTR_CONTROL), handFlow.ControlHandShake);
        EXPECT_EQ(ULONG(SERIAL_RTS_CONTROL), handFlow.FlowReplace);
        if (limits) {
            EXPECT_EQ(100, handFlow.XonLimit);
            EXPECT_EQ(200, handFlow.XoffLimit);
        }
        SERIAL_CHARS chars = kOtherChars;
        chars.XonChar = 'Q';
        chars.XoffChar = 'S';
        EXPECT_EQ(Bytes(chars), Bytes(Chars())) << "the whole record was stored";
        EXPECT_EQ(ULONG(SERIAL_DTR_STATE | SERIAL_RTS_STATE), DtrRts());
    }
    void ExpectDefaults()
    {
        EXPECT_EQ(9600u, Baud());
        SERIAL_LINE_CONTROL line = Line();
        EXPECT_EQ(STOP_BIT_1, line.StopBits);
        EXPECT_EQ(NO_PARITY, line.Parity);
        EXPECT_EQ(8, line.WordLength);
        EXPECT_EQ(0u, HandFlow().ControlHandShake);
        EXPECT_EQ(Bytes(SERIAL_CHARS{0, 0, 0, 0, 0x11, 0x13}), Bytes(Chars()))
            << "EOF, error, break and event characters 0, XON 0x11, XOFF 0x13";
        EXPECT_EQ(0u, DtrRts());
    }
};

TEST_P(LineSettings, WithoutTheValueValidSettingsAreRefusedAndNothingChanges)
{
    OpenWith({});
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SetBaud(kRate));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SetLine(STOP_BITS_2, EVEN_PARITY, 7));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SetHandFlow(OtherHandFlow()));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SetChars('Q', 'S'));
    for (ULONG code : {IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_CLR_DTR, IOCTL_SERIAL_SET_RTS,
                       IOCTL_SERIAL_CLR_RTS, IOCTL_SERIAL_SET_XON, IOCTL_SERIAL_SET_XOFF}) {
        EXPECT_EQ(STATUS_UNSUCCESSFUL, Send(code)) << Hex(code);
    }
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SetLine(STOP_BIT_1, NO_PARITY, 9))
        << "validation comes first";
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SetBaud(0)) << "a rate of 0 is refused like any other";
    ExpectDefaults();
    EXPECT_EQ(0u, ModemStatus());
}

TEST_P(LineSettings, WithTheValueValidSettingsAreRememberedAndReportedBack)
{
    OpenAccepting();
    ExpectDefaults();
    SetEverything();
    ExpectEverythingSet();
    EXPECT_EQ(STATUS_SUCCESS, Send(IOCTL_SERIAL_CLR_DTR));
    EXPECT_EQ(ULONG(SERIAL_RTS_STATE), DtrRts()) << "DTR cleared, RTS still set";
    EXPECT_EQ(STATUS_SUCCESS, Send(IOCTL_SERIAL_CLR_RTS));
    EXPECT_EQ(0u, DtrRts());
    for (ULONG code : {IOCTL_SERIAL_SET_XON, IOCTL_SERIAL_SET_XOFF, IOCTL_SERIAL_SET_BREAK_ON,
                       IOCTL_SERIAL_SET_BREAK_OFF, IOCTL_SERIAL_RESET_DEVICE}) {
        EXPECT_EQ(STATUS_SUCCESS, Send(code)) << Hex(code);
    }
    EXPECT_EQ(kConnectedLine, ModemStatus()) << "CTS, DSR and carrier detect on";
}

TEST_P(LineSettings, WithTheValueInvalidSettingsAreStillRefusedAndNothingIsStored)
{
    OpenAccepting();
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SetBaud(0));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SetLine(STOP_BIT_1, NO_PARITY, 4));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SetLine(STOP_BIT_1, SPACE_PARITY + 1, 8));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SetLine(STOP_BITS_1_5, NO_PARITY, 8));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SetLine(STOP_BITS_2, NO_PARITY, 5));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SetHandFlow({SERIAL_DTR_MASK, 0, 0, 0}));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SetHandFlow({0x80, 0, 0, 0}));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SetHandFlow({0, 0x20, 0, 0}));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SetChars('X', 'X'));
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, Send(IOCTL_SERIAL_SET_BAUD_RATE, {0x00, 0xC2, 0x01}));
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, Send(IOCTL_SERIAL_SET_LINE_CONTROL, {0, 0}));
    ExpectDefaults();
    EXPECT_EQ(STATUS_SUCCESS, SetLine(STOP_BITS_1_5, MARK_PARITY, 5)) << "1.5 stop bits with 5";
    EXPECT_EQ(5, Line().WordLength);
}

TEST_P(LineSettings, SettingsSurviveCloseAndReopenAndStartOverAtTheNextStart)
{
    OpenAccepting();
    SetEverything();
    ASSERT_EQ(STATUS_SUCCESS, ClosePort());
    portHandle = Open();
    ExpectEverythingSet(false);
    ASSERT_EQ(STATUS_SUCCESS, ClosePort());

    ASSERT_EQ(STATUS_SUCCESS, host.pnp().Stop(port.physicalDevice, false));
    ASSERT_EQ(STATUS_SUCCESS, host.pnp().Start(port.physicalDevice));
    portHandle = Open();
    ExpectDefaults();
    EXPECT_EQ(STATUS_SUCCESS, SetBaud(kRate)) << "still accepted after the restart";
}

// The value is read when the device starts: a change takes effect at the next start, and the
// start after it is turned off reports the defaults again.
TEST_P(LineSettings, TheValueIsReadWhenTheDeviceStarts)
{
    OpenWith({});
    host.objects().WriteRegistryValue(port.physicalDevice, u"AcceptLineSettings", REG_DWORD,
                                      Bytes(ULONG(1)));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SetBaud(kRate)) << "not before a start";
    ASSERT_EQ(STATUS_SUCCESS, ClosePort());
    ASSERT_EQ(STATUS_SUCCESS, host.pnp().Stop(port.physicalDevice, false));
    ASSERT_EQ(STATUS_SUCCESS, host.pnp().Start(port.physicalDevice));
    portHandle = Open();
    EXPECT_EQ(STATUS_SUCCESS, SetBaud(kRate));
    EXPECT_EQ(kConnectedLine, ModemStatus());

    SetEverything();
    host.objects().WriteRegistryValue(port.physicalDevice, u"AcceptLineSettings", REG_DWORD,
                                      Bytes(ULONG(0)));
    ASSERT_EQ(STATUS_SUCCESS, ClosePort());
    ASSERT_EQ(STATUS_SUCCESS, host.pnp().Stop(port.physicalDevice, false));
    ASSERT_EQ(STATUS_SUCCESS, host.pnp().Start(port.physicalDevice));
    portHandle = Open();
    ExpectDefaults();
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SetChars('Q', 'S'));
}

// Only a four-byte REG_DWORD of 1 turns the setting on.
TEST_P(LineSettings, AMalformedValueMeansOff)
{
    const std::vector<std::pair<const char*, RegistryValue>> values = {
        {"REG_DWORD 0", RegistryValue::Dword(u"AcceptLineSettings", 0)},
        {"REG_DWORD 2", RegistryValue::Dword(u"AcceptLineSettings", 2)},
        {"REG_SZ \"1\"", {u"AcceptLineSettings", REG_SZ, {'1', 0, 0, 0}}},
        {"REG_BINARY 01000000", {u"AcceptLineSettings", REG_BINARY, {1, 0, 0, 0}}},
        {"REG_DWORD of 2 bytes", {u"AcceptLineSettings", REG_DWORD, {1, 0}}},
        {"REG_DWORD of 8 bytes", {u"AcceptLineSettings", REG_DWORD, {1, 0, 0, 0, 0, 0, 0, 0}}},
        {"another name", RegistryValue::Dword(u"AcceptLineSetting", 1)},
    };
    for (const auto& [what, value] : values) {
        SCOPED_TRACE(what);
        OpenWith({value});
        EXPECT_EQ(STATUS_UNSUCCESSFUL, SetBaud(kRate));
        EXPECT_EQ(0u, ModemStatus());
        ASSERT_EQ(STATUS_SUCCESS, ClosePort());
        ASSERT_EQ(STATUS_SUCCESS, host.pnp().Unplug(port.physicalDevice));
    }
    OpenWith({RegistryValue::Dword(u"acceptlinesettings", 1)});
    EXPECT_EQ(STATUS_SUCCESS, SetBaud(kRate)) << "value names are case-insensitive";
}

// The driver's port reset at open and close and its data paths are the same with the setting on.
TEST_P(LineSettings, DataMovesTheSameWithTheSettingOn)
{
    OpenAccepting();
    SetEverything();
    Device().SetEcho(true);
    EXPECT_EQ(STATUS_SUCCESS, app().Write(portHandle, {1, 2, 3}).status);
    // A long read timeout: the schedule explorer may move the clock a second at a time.
    SetTimeouts(portHandle, SERIAL_TIMEOUTS{0, 0, 60000, 0, 0});
    host::IoResult read = app().Read(portHandle, 3);
    EXPECT_EQ(STATUS_SUCCESS, read.status);
    EXPECT_EQ((std::vector<UCHAR>{1, 2, 3}), read.output);
    Device().SetEcho(false);
}

// A purge of the input (SERIAL_PURGE_RXCLEAR) empties the receive buffer with the setting on,
// making room for a pump that waits; off, the buffered bytes stay.
TEST_P(LineSettings, PurgeRxclearEmptiesTheReceiveBufferOnlyWithTheSettingOn)
{
    for (bool accepting : {false, true}) {
        SCOPED_TRACE(accepting ? "on" : "off");
        if (accepting) {
            OpenAccepting();
        } else {
            OpenWith({});
        }
        WaitForReceivePump();
        Receive(portHandle, std::vector<UCHAR>(5000, 0x44), 5000);
        Device().OfferIn({7, 8});
        EXPECT_EQ(STATUS_SUCCESS, Send(IOCTL_SERIAL_PURGE, Bytes(ULONG(SERIAL_PURGE_RXCLEAR))));
        ULONG expected = accepting ? 2 : 5000;
        EXPECT_TRUE(WaitUntil([&] { return CommStatus(portHandle).AmountInInQueue == expected; }))
            << CommStatus(portHandle).AmountInInQueue << " bytes buffered";
        if (accepting) {
            SetTimeouts(portHandle, Timeouts(MAXULONG, 0, 0));
            EXPECT_EQ((std::vector<UCHAR>{7, 8}), app().Read(portHandle, 16).output)
                << "only what came after the purge";
        }
        ClosePort();
        host.pnp().Unplug(port.physicalDevice);
    }
}

}  // namespace

KDX_FOR_BOTH_BUS_MODES(LineSettings);
