// Counted-string routines: appends that do not fit change nothing, a terminating zero is
// written only when there is room for it, and RtlIntegerToUnicodeString's bases and overflow.
#include <gtest/gtest.h>

#include <string>

#include "support/test_driver.h"

using namespace hosttest;

namespace {

// A counted string of `capacity` characters over a larger array filled with '#', so that a
// write past MaximumLength shows.
struct CountedString {
    WCHAR storage[40];
    UNICODE_STRING string;

    CountedString(USHORT capacity, const std::u16string& initial)
    {
        for (WCHAR& c : storage) c = u'#';
        initial.copy(storage, initial.size());
        string.Buffer = storage;
        string.Length = USHORT(initial.size() * sizeof(WCHAR));
        string.MaximumLength = USHORT(capacity * sizeof(WCHAR));
    }
    std::string Text() const { return host::Narrow(std::u16string(storage, string.Length / 2)); }
    // The character just past the counted text.
    WCHAR After() const { return storage[string.Length / 2]; }
};

}  // namespace

TEST(RtlAppend, AppendThatDoesNotFitReturnsBufferTooSmallAndChangesNothing)
{
    host::Host host;
    CountedString destination(8, u"COM");
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, RtlAppendUnicodeToString(&destination.string, u"123456"));
    EXPECT_EQ("COM", destination.Text());
    EXPECT_EQ(u'#', destination.After()) << "nothing was written";
    WCHAR text[] = u"ABCDEFGH";
    UNICODE_STRING source{12, 18, text};  // "ABCDEF"
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL,
              RtlAppendUnicodeStringToString(&destination.string, &source));
    EXPECT_EQ("COM", destination.Text());
    EXPECT_EQ(u'#', destination.After());
}

TEST(RtlAppend, TerminatesOnlyWhenThereIsRoomForTheZero)
{
    host::Host host;
    CountedString roomy(8, u"COM");
    EXPECT_EQ(STATUS_SUCCESS, RtlAppendUnicodeToString(&roomy.string, u"12"));
    EXPECT_EQ("COM12", roomy.Text());
    EXPECT_EQ(0, roomy.After()) << "terminated with room to spare";

    CountedString exact(5, u"COM");
    WCHAR text[] = u"1234";
    UNICODE_STRING source{4, 10, text};  // "12": the counted length, not the terminator
    EXPECT_EQ(STATUS_SUCCESS, RtlAppendUnicodeStringToString(&exact.string, &source));
    EXPECT_EQ("COM12", exact.Text());
    EXPECT_EQ(u'#', exact.After()) << "an exact fit leaves no room for a terminator";
}

TEST(RtlIntegerToUnicodeString, WritesEveryBaseAndRejectsOthers)
{
    host::Host host;
    struct Case {
        ULONG value;
        ULONG base;
        const char* text;
    } cases[] = {
        {10, 2, "1010"},
        {64, 8, "100"},
        {4095, 16, "FFF"},
        {0, 10, "0"},
        {4294967295u, 10, "4294967295"},
        {77, 0, "77"},  // base 0 means 10
        {4294967295u, 2, "11111111111111111111111111111111"},
    };
    for (const Case& c : cases) {
        CountedString string(36, u"");
        EXPECT_EQ(STATUS_SUCCESS, RtlIntegerToUnicodeString(c.value, c.base, &string.string))
            << c.value << " in base " << c.base;
        EXPECT_EQ(c.text, string.Text()) << c.value << " in base " << c.base;
        EXPECT_EQ(0, string.After()) << "terminated";
    }
    for (ULONG base : {1u, 3u, 36u}) {
        CountedString string(12, u"old");
        EXPECT_EQ(STATUS_INVALID_PARAMETER, RtlIntegerToUnicodeString(5, base, &string.string))
            << "base " << base;
        EXPECT_EQ("old", string.Text()) << "unchanged after base " << base;
    }
}

TEST(RtlIntegerToUnicodeString, OverflowsWhenTheDigitsDoNotFit)
{
    host::Host host;
    CountedString tooSmall(4, u"old");
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, RtlIntegerToUnicodeString(12345, 10, &tooSmall.string));
    EXPECT_EQ("old", tooSmall.Text()) << "unchanged";
    EXPECT_EQ(u'#', tooSmall.After());

    CountedString exact(5, u"");
    EXPECT_EQ(STATUS_SUCCESS, RtlIntegerToUnicodeString(12345, 10, &exact.string));
    EXPECT_EQ("12345", exact.Text());
    EXPECT_EQ(u'#', exact.After()) << "no terminator without room";
}
