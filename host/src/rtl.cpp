// The run-time library's counted-string routines, with their documented corner cases: an
// append that does not fit fails with STATUS_BUFFER_TOO_SMALL and changes nothing, and a
// terminating zero is written only when there is room for it.
#include "kernel.h"

using namespace host;

namespace {

size_t Length(PCWSTR text)
{
    size_t length = 0;
    while (text[length] != 0) length++;
    return length;
}

// Checks a destination string before a routine writes into it.
void RequireWritable(PUNICODE_STRING string, const char* routine)
{
    if (string == nullptr || string->Length % 2 != 0 || string->Length > string->MaximumLength ||
        (string->MaximumLength != 0 && string->Buffer == nullptr)) {
        ReportViolation(Rule::InvalidUnicodeString,
                        std::string(routine) + " was given a malformed destination string.");
    }
    std::string site;
    if (string->MaximumLength != 0 &&
        Kernel::Current().pool.IsFreedMemory(string->Buffer, string->MaximumLength, &site)) {
        ReportViolation(Rule::PoolBufferUseAfterFree, std::string(routine) +
                                                          " was given a destination in freed pool "
                                                          "(allocated by " +
                                                          site + ").");
    }
}

NTSTATUS Append(PUNICODE_STRING destination, const WCHAR* source, size_t bytes)
{
    if (destination->Length + bytes > destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    memmove(reinterpret_cast<char*>(destination->Buffer) + destination->Length, source, bytes);
    destination->Length = USHORT(destination->Length + bytes);
    if (destination->Length + sizeof(WCHAR) <= destination->MaximumLength) {
        destination->Buffer[destination->Length / sizeof(WCHAR)] = 0;
    }
    return STATUS_SUCCESS;
}

}  // namespace

extern "C" VOID RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source)
{
    RequireIrqlAtMost("RtlInitUnicodeString", DISPATCH_LEVEL);
    if (source == nullptr) {
        destination->Length = destination->MaximumLength = 0;
        destination->Buffer = nullptr;
        return;
    }
    size_t bytes = Length(source) * sizeof(WCHAR);
    destination->Length = USHORT(bytes);
    destination->MaximumLength = USHORT(bytes + sizeof(WCHAR));
    destination->Buffer = const_cast<PWSTR>(source);
}

extern "C" NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING destination, PCWSTR source)
{
    RequireIrqlAtMost("RtlAppendUnicodeToString", DISPATCH_LEVEL);
    RequireWritable(destination, "RtlAppendUnicodeToString");
    if (source == nullptr) return STATUS_SUCCESS;
    return Append(destination, source, Length(source) * sizeof(WCHAR));
}

extern "C" NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING destination,
                                                   PCUNICODE_STRING source)
{
    RequireIrqlAtMost("RtlAppendUnicodeStringToString", DISPATCH_LEVEL);
    RequireWritable(destination, "RtlAppendUnicodeStringToString");
    std::u16string text = ReadDriverString(source, "RtlAppendUnicodeStringToString");
    return Append(destination, text.data(), text.size() * sizeof(WCHAR));
}

extern "C" NTSTATUS RtlIntegerToUnicodeString(ULONG value, ULONG base, PUNICODE_STRING string)
{
    RequireIrqlAtMost("RtlIntegerToUnicodeString", PASSIVE_LEVEL);
    RequireWritable(string, "RtlIntegerToUnicodeString");
    if (base == 0) base = 10;
    if (base != 2 && base != 8 && base != 10 && base != 16) return STATUS_INVALID_PARAMETER;
    WCHAR digits[33];
    size_t count = 0;
    do {
        ULONG digit = value % base;
        digits[count++] = WCHAR(digit < 10 ? u'0' + digit : u'A' + digit - 10);
        value /= base;
    } while (value != 0);
    size_t bytes = count * sizeof(WCHAR);
    if (bytes > string->MaximumLength) return STATUS_BUFFER_OVERFLOW;
    for (size_t i = 0; i < count; i++) string->Buffer[i] = digits[count - 1 - i];
    string->Length = USHORT(bytes);
    if (bytes + sizeof(WCHAR) <= string->MaximumLength) string->Buffer[count] = 0;
    return STATUS_SUCCESS;
}

extern "C" VOID RtlCopyUnicodeString(PUNICODE_STRING destination, PCUNICODE_STRING source)
{
    RequireIrqlAtMost("RtlCopyUnicodeString", DISPATCH_LEVEL);
    RequireWritable(destination, "RtlCopyUnicodeString");
    destination->Length = 0;
    if (source == nullptr) return;
    std::u16string text = ReadDriverString(source, "RtlCopyUnicodeString");
    size_t bytes = text.size() * sizeof(WCHAR);
    if (bytes > destination->MaximumLength) bytes = destination->MaximumLength & ~size_t(1);
    memmove(destination->Buffer, text.data(), bytes);
    destination->Length = USHORT(bytes);
    if (bytes + sizeof(WCHAR) <= destination->MaximumLength) {
        destination->Buffer[bytes / sizeof(WCHAR)] = 0;
    }
}

extern "C" BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING string1, PCUNICODE_STRING string2,
                                         BOOLEAN caseInSensitive)
{
    RequireIrqlAtMost("RtlEqualUnicodeString", PASSIVE_LEVEL);
    std::u16string first = ReadDriverString(string1, "RtlEqualUnicodeString");
    std::u16string second = ReadDriverString(string2, "RtlEqualUnicodeString");
    if (first.size() != second.size()) return FALSE;
    for (size_t i = 0; i < first.size(); i++) {
        char16_t a = first[i], b = second[i];
        if (caseInSensitive) {
            if (a >= u'a' && a <= u'z') a = char16_t(a - 32);
            if (b >= u'a' && b <= u'z') b = char16_t(b - 32);
        }
        if (a != b) return FALSE;
    }
    return TRUE;
}

extern "C" VOID RtlFreeUnicodeString(PUNICODE_STRING unicodeString)
{
    RequireIrqlAtMost("RtlFreeUnicodeString", APC_LEVEL);
    if (unicodeString->Buffer != nullptr) {
        Kernel::Current().pool.Free(unicodeString->Buffer, CallSite{"", 0, "RtlFreeUnicodeString"});
    }
    unicodeString->Buffer = nullptr;
    unicodeString->Length = unicodeString->MaximumLength = 0;
}
