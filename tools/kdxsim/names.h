// How the simulator writes kernel values: status names, GUIDs, power states and names of the
// object namespace.
#pragma once

#include <string>

#include "host/host.h"

namespace kdxsim {

// "STATUS_SUCCESS" for the statuses the host headers define, "0x%08X" for any other.
std::string StatusName(NTSTATUS status);

// The status named (STATUS_CANCELLED) or given in hex (0xC0000120); throws ScenarioError for
// anything else.
NTSTATUS ParseStatus(const std::string& text);

// "{36FC9E60-C465-11CF-8056-444553540000}".
std::string GuidText(const GUID& guid);

// "D0" to "D3", or "Unspecified".
std::string DeviceStateName(DEVICE_POWER_STATE state);

// The DOS name of a symbolic link ("VLT0" for "\DosDevices\VLT0" or "\??\VLT0"), or an empty
// string for a link outside the DOS device directory.
std::string DosName(const std::u16string& link);

// The name of a device object ("\Device\KDX_LUSB0"), empty for an unnamed one.
std::string DeviceObjectName(PDEVICE_OBJECT device);

}  // namespace kdxsim
