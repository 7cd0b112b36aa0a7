/* kdxinstall.exe: installs the rig into a Windows (or Wine) machine, as a person installing
 * drivers with their INFs would.
 *
 *   kdxinstall DIR   DIR holds kdxbus.inf, kdxbus.sys, kdxlusb.inf and kdxlusb.sys
 *
 * 1. kdxlusb: its INF goes into the system's INF store (SetupCopyOEMInf), where Plug and Play
 *    looks for a driver when a device with its hardware ID appears, and its service is created
 *    from the INF's service section so that the bus can load it before the first device.
 * 2. kdxbus: a root-enumerated device with hardware ID Root\KdxBus is created and given its
 *    driver from kdxbus.inf; Plug and Play starts it, and its control device appears. */
#include <windows.h>
#include <setupapi.h>
#include <newdev.h>
#include <initguid.h>
#include <devguid.h>
#include <stdio.h>

static int Fail(const char* what)
{
    printf("kdxinstall: %s failed (error %lu)\n", what, GetLastError());
    return 1;
}

static void Join(WCHAR* out, const WCHAR* directory, const WCHAR* file)
{
    lstrcpyW(out, directory);
    if (out[lstrlenW(out) - 1] != L'\\') lstrcatW(out, L"\\");
    lstrcatW(out, file);
}

static int InstallFunctionDriver(const WCHAR* directory)
{
    WCHAR inf[MAX_PATH], stored[MAX_PATH], sys[MAX_PATH], storedSys[MAX_PATH];
    WCHAR* fileName = NULL;
    HINF handle;
    Join(inf, directory, L"kdxlusb.inf");
    Join(sys, directory, L"kdxlusb.sys");
    if (!SetupCopyOEMInfW(inf, NULL, SPOST_PATH, 0, stored, MAX_PATH, NULL, &fileName)) {
        return Fail("SetupCopyOEMInf(kdxlusb.inf)");
    }
    printf("kdxinstall: kdxlusb.inf stored as %ls\n", stored);
    /* Wine's device installer takes an INF's files from the folder the INF is in. */
    lstrcpyW(storedSys, stored);
    lstrcpyW(storedSys + (fileName - stored), L"kdxlusb.sys");
    if (!CopyFileW(sys, storedSys, FALSE)) return Fail("copying kdxlusb.sys beside its INF");

    handle = SetupOpenInfFileW(inf, NULL, INF_STYLE_WIN4, NULL);
    if (handle == INVALID_HANDLE_VALUE) return Fail("SetupOpenInfFile(kdxlusb.inf)");
    if (!SetupInstallFromInfSectionW(NULL, handle, L"KdxLusb_Install.NT", SPINST_FILES, NULL,
                                     directory, SP_COPY_NEWER_OR_SAME, SetupDefaultQueueCallbackW,
                                     SetupInitDefaultQueueCallback(NULL), NULL, NULL)) {
        SetupCloseInfFile(handle);
        return Fail("copying kdxlusb.sys with its INF");
    }
    if (!SetupInstallServicesFromInfSectionW(handle, L"KdxLusb_Install.NT.Services", 0)) {
        SetupCloseInfFile(handle);
        return Fail("creating the kdxlusb service from its INF");
    }
    SetupCloseInfFile(handle);
    printf("kdxinstall: kdxlusb service created\n");
    return 0;
}

static int InstallBus(const WCHAR* directory)
{
    static const WCHAR hardwareId[] = L"Root\\KdxBus\0";
    WCHAR inf[MAX_PATH];
    SP_DEVINFO_DATA device;
    HDEVINFO set;
    BOOL reboot = FALSE;
    Join(inf, directory, L"kdxbus.inf");
    set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_SYSTEM, NULL);
    if (set == INVALID_HANDLE_VALUE) return Fail("SetupDiCreateDeviceInfoList");
    device.cbSize = sizeof(device);
    if (!SetupDiCreateDeviceInfoW(set, L"System", &GUID_DEVCLASS_SYSTEM, NULL, NULL,
                                  DICD_GENERATE_ID, &device)) {
        return Fail("SetupDiCreateDeviceInfo");
    }
    if (!SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, (const BYTE*)hardwareId,
                                           sizeof(hardwareId))) {
        return Fail("setting the bus's hardware ID");
    }
    if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) {
        return Fail("DIF_REGISTERDEVICE");
    }
    SetupDiDestroyDeviceInfoList(set);
    if (!UpdateDriverForPlugAndPlayDevicesW(NULL, L"Root\\KdxBus", inf, INSTALLFLAG_FORCE,
                                            &reboot)) {
        return Fail("UpdateDriverForPlugAndPlayDevices(kdxbus.inf)");
    }
    printf("kdxinstall: kdxbus installed\n");
    return 0;
}

int wmain(int argc, WCHAR** argv)
{
    if (argc != 2) {
        printf("usage: kdxinstall DIR (DIR holds the INFs and the .sys files)\n");
        return 2;
    }
    if (InstallFunctionDriver(argv[1]) != 0) return 1;
    return InstallBus(argv[1]);
}
