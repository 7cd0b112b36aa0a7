// The table of what DriverEntry installed (see dispatch_table.h).
#include "dispatch_table.h"

#include "sys/kdxlusb.h"

namespace kdxsim {

namespace {

const char* const kMajorNames[IRP_MJ_MAXIMUM_FUNCTION + 1] = {"IRP_MJ_CREATE",
                                                              "IRP_MJ_CREATE_NAMED_PIPE",
                                                              "IRP_MJ_CLOSE",
                                                              "IRP_MJ_READ",
                                                              "IRP_MJ_WRITE",
                                                              "IRP_MJ_QUERY_INFORMATION",
                                                              "IRP_MJ_SET_INFORMATION",
                                                              "IRP_MJ_QUERY_EA",
                                                              "IRP_MJ_SET_EA",
                                                              "IRP_MJ_FLUSH_BUFFERS",
                                                              "IRP_MJ_QUERY_VOLUME_INFORMATION",
                                                              "IRP_MJ_SET_VOLUME_INFORMATION",
                                                              "IRP_MJ_DIRECTORY_CONTROL",
                                                              "IRP_MJ_FILE_SYSTEM_CONTROL",
                                                              "IRP_MJ_DEVICE_CONTROL",
                                                              "IRP_MJ_INTERNAL_DEVICE_CONTROL",
                                                              "IRP_MJ_SHUTDOWN",
                                                              "IRP_MJ_LOCK_CONTROL",
                                                              "IRP_MJ_CLEANUP",
                                                              "IRP_MJ_CREATE_MAILSLOT",
                                                              "IRP_MJ_QUERY_SECURITY",
                                                              "IRP_MJ_SET_SECURITY",
                                                              "IRP_MJ_POWER",
                                                              "IRP_MJ_SYSTEM_CONTROL",
                                                              "IRP_MJ_DEVICE_CHANGE",
                                                              "IRP_MJ_QUERY_QUOTA",
                                                              "IRP_MJ_SET_QUOTA",
                                                              "IRP_MJ_PNP"};

struct NamedRoutine {
    PDRIVER_DISPATCH routine;
    const char* name;
};

const NamedRoutine kDispatchRoutines[] = {
    {DispatchCreate, "DispatchCreate"},
    {DispatchClose, "DispatchClose"},
    {DispatchRead, "DispatchRead"},
    {DispatchWrite, "DispatchWrite"},
    {DispatchQueryInformation, "DispatchQueryInformation"},
    {DispatchSetInformation, "DispatchSetInformation"},
    {DispatchFlushBuffers, "DispatchFlushBuffers"},
    {DispatchDeviceControl, "DispatchDeviceControl"},
    {DispatchInternalDeviceControl, "DispatchInternalDeviceControl"},
    {DispatchCleanup, "DispatchCleanup"},
    {DispatchPower, "DispatchPower"},
    {DispatchSystemControl, "DispatchSystemControl"},
    {DispatchPnp, "DispatchPnp"},
};

const char* DispatchName(PDRIVER_DISPATCH routine)
{
    for (const NamedRoutine& named : kDispatchRoutines) {
        if (named.routine == routine) return named.name;
    }
    return "(default: invalid device request)";
}

}  // namespace

void PrintDispatchTable(PDRIVER_OBJECT driver, FILE* out)
{
    fprintf(out, "add-device routine: %s\n",
            driver->DriverExtension->AddDevice == AddDevice ? "AddDevice" : "(other)");
    fprintf(out, "unload routine: %s\n",
            driver->DriverUnload == DriverUnload ? "DriverUnload" : "(other)");
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major++) {
        fprintf(out, "  %-32s %s\n", kMajorNames[major],
                DispatchName(driver->MajorFunction[major]));
    }
}

}  // namespace kdxsim
