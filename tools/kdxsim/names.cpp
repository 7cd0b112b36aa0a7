// How the simulator writes kernel values (see names.h).
#include "names.h"

#include <cstdio>

#include "device_options.h"

namespace kdxsim {

namespace {

struct NamedStatus {
    NTSTATUS status;
    const char* name;
};

#define KDXSIM_STATUS(name) \
    {                       \
        name, #name         \
    }
const NamedStatus kStatuses[] = {
    KDXSIM_STATUS(STATUS_SUCCESS),
    KDXSIM_STATUS(STATUS_USER_APC),
    KDXSIM_STATUS(STATUS_ALERTED),
    KDXSIM_STATUS(STATUS_TIMEOUT),
    KDXSIM_STATUS(STATUS_PENDING),
    KDXSIM_STATUS(STATUS_OBJECT_NAME_EXISTS),
    KDXSIM_STATUS(STATUS_BUFFER_OVERFLOW),
    KDXSIM_STATUS(STATUS_DEVICE_BUSY),
    KDXSIM_STATUS(STATUS_NO_MORE_ENTRIES),
    KDXSIM_STATUS(STATUS_UNSUCCESSFUL),
    KDXSIM_STATUS(STATUS_NOT_IMPLEMENTED),
    KDXSIM_STATUS(STATUS_INVALID_HANDLE),
    KDXSIM_STATUS(STATUS_INVALID_PARAMETER),
    KDXSIM_STATUS(STATUS_NO_SUCH_DEVICE),
    KDXSIM_STATUS(STATUS_INVALID_DEVICE_REQUEST),
    KDXSIM_STATUS(STATUS_MORE_PROCESSING_REQUIRED),
    KDXSIM_STATUS(STATUS_NO_MEMORY),
    KDXSIM_STATUS(STATUS_ACCESS_DENIED),
    KDXSIM_STATUS(STATUS_BUFFER_TOO_SMALL),
    KDXSIM_STATUS(STATUS_OBJECT_TYPE_MISMATCH),
    KDXSIM_STATUS(STATUS_OBJECT_NAME_INVALID),
    KDXSIM_STATUS(STATUS_OBJECT_NAME_NOT_FOUND),
    KDXSIM_STATUS(STATUS_OBJECT_NAME_COLLISION),
    KDXSIM_STATUS(STATUS_PORT_DISCONNECTED),
    KDXSIM_STATUS(STATUS_OBJECT_PATH_NOT_FOUND),
    KDXSIM_STATUS(STATUS_SHARING_VIOLATION),
    KDXSIM_STATUS(STATUS_DELETE_PENDING),
    KDXSIM_STATUS(STATUS_INSUFFICIENT_RESOURCES),
    KDXSIM_STATUS(STATUS_DEVICE_DATA_ERROR),
    KDXSIM_STATUS(STATUS_DEVICE_NOT_CONNECTED),
    KDXSIM_STATUS(STATUS_IO_TIMEOUT),
    KDXSIM_STATUS(STATUS_NOT_SUPPORTED),
    KDXSIM_STATUS(STATUS_NOT_A_DIRECTORY),
    KDXSIM_STATUS(STATUS_CANCELLED),
    KDXSIM_STATUS(STATUS_INVALID_DEVICE_STATE),
    KDXSIM_STATUS(STATUS_INVALID_BUFFER_SIZE),
    KDXSIM_STATUS(STATUS_NOT_FOUND),
    KDXSIM_STATUS(STATUS_DEVICE_REMOVED),
};
#undef KDXSIM_STATUS

bool StartsWith(const std::u16string& text, const std::u16string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

std::string StatusName(NTSTATUS status)
{
    for (const NamedStatus& named : kStatuses) {
        if (named.status == status) return named.name;
    }
    char text[16];
    snprintf(text, sizeof(text), "0x%08X", unsigned(status));
    return text;
}

NTSTATUS ParseStatus(const std::string& text)
{
    for (const NamedStatus& named : kStatuses) {
        if (text == named.name) return named.status;
    }
    if (text.rfind("0x", 0) != 0 && text.rfind("0X", 0) != 0) {
        throw ScenarioError("unknown status \"" + text + "\" (a STATUS_ name or 0x hex)");
    }
    return NTSTATUS(ParseNumber(text, 16, 0xFFFFFFFF));
}

std::string GuidText(const GUID& guid)
{
    char text[40];
    snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
             unsigned(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
             guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6],
             guid.Data4[7]);
    return text;
}

std::string DeviceStateName(DEVICE_POWER_STATE state)
{
    if (state >= PowerDeviceD0 && state <= PowerDeviceD3) {
        return "D" + std::to_string(state - PowerDeviceD0);
    }
    return "Unspecified";
}

std::string DosName(const std::u16string& link)
{
    // The canonical form spells both prefixes "\??\" and upper-cases the rest; the DOS name
    // keeps the link's own spelling.
    static const std::u16string kPrefix = u"\\??\\";
    std::u16string canonical = host::ObjectManager::CanonicalName(link);
    if (!StartsWith(canonical, kPrefix)) return "";
    return host::Narrow(link.substr(link.size() - (canonical.size() - kPrefix.size())));
}

std::string DeviceObjectName(PDEVICE_OBJECT device)
{
    return host::Narrow(host::RecordOf(device)->name);
}

}  // namespace kdxsim
