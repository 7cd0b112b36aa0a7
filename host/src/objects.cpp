// The object namespace and what lives in it: device objects and their stacks, symbolic links,
// device interfaces, and the per-device registry keys with their handles.
//
// Names are kept canonical: "\DosDevices\X" is the same name as "\??\X", and comparisons
// ignore case, as the object manager's do.
#include <cstdlib>

#include "kernel.h"

using namespace host;

namespace host {

namespace {

// A device object and its extension are one allocation; the extension starts 16-aligned.
size_t DeviceHeaderSize() { return (sizeof(DEVICE_OBJECT) + 15) & ~size_t(15); }

std::u16string Upper(std::u16string text)
{
    for (char16_t& c : text) {
        if (c >= u'a' && c <= u'z') c = char16_t(c - u'a' + u'A');
    }
    return text;
}

std::u16string GuidText(const GUID& guid)
{
    char text[40];
    snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.Data1,
             guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3],
             guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return Widen(text);
}

}  // namespace

std::string Narrow(const std::u16string& text)
{
    std::string result;
    for (char16_t c : text) result += c < 0x80 ? char(c) : '?';
    return result;
}

std::u16string Widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }

std::string DriverName(PDRIVER_OBJECT driver)
{
    if (driver == nullptr) return "the system";
    return Narrow(std::u16string(driver->DriverName.Buffer, driver->DriverName.Length / 2));
}

DeviceRecord* RecordOf(PDEVICE_OBJECT device)
{
    return reinterpret_cast<DeviceRecord*>(device->DeviceObjectExtension);
}

std::u16string ReadDriverString(PCUNICODE_STRING string, const char* routine)
{
    if (string == nullptr) {
        ReportViolation(Rule::InvalidUnicodeString, std::string(routine) + " was given NULL.");
    }
    if (string->Length % 2 != 0 || string->Length > string->MaximumLength ||
        (string->Length != 0 && string->Buffer == nullptr)) {
        ReportViolation(Rule::InvalidUnicodeString,
                        std::string(routine) + " was given a string with Length " +
                            std::to_string(string->Length) + ", MaximumLength " +
                            std::to_string(string->MaximumLength) + ", Buffer " +
                            Hex(string->Buffer) + ".");
    }
    std::string site;
    if (string->Length != 0 &&
        Kernel::Current().pool.IsFreedMemory(string->Buffer, string->Length, &site)) {
        ReportViolation(Rule::PoolBufferUseAfterFree,
                        std::string(routine) + " was given a string in freed pool (allocated by " +
                            site + ").");
    }
    return std::u16string(string->Buffer, string->Length / 2);
}

std::u16string ObjectManager::CanonicalName(const std::u16string& name)
{
    static const std::u16string kDosDevices = u"\\DOSDEVICES\\";
    std::u16string upper = Upper(name);
    if (upper.compare(0, kDosDevices.size(), kDosDevices) == 0) {
        return u"\\??\\" + upper.substr(kDosDevices.size());
    }
    return upper;
}

ObjectManager::~ObjectManager()
{
    for (PDEVICE_OBJECT device : devices_) {
        delete RecordOf(device);
        free(device);
    }
}

// ---------------------------------------------------------------------------------------------
// Device objects
// ---------------------------------------------------------------------------------------------
NTSTATUS ObjectManager::CreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize,
                                     const std::u16string* name, DEVICE_TYPE type,
                                     ULONG characteristics, BOOLEAN exclusive,
                                     PDEVICE_OBJECT* result)
{
    *result = nullptr;
    std::lock_guard<std::mutex> guard(mutex_);
    std::u16string canonical;
    if (name != nullptr && !name->empty()) {
        canonical = CanonicalName(*name);
        if (names_.count(canonical) != 0) return STATUS_OBJECT_NAME_COLLISION;
    }
    size_t deviceSize = DeviceHeaderSize();
    auto* device = static_cast<PDEVICE_OBJECT>(calloc(1, deviceSize + extensionSize));
    if (device == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    auto* record = new DeviceRecord();
    record->device = device;
    device->Type = 3;
    device->Size = USHORT(sizeof(DEVICE_OBJECT) + extensionSize);
    device->DriverObject = driver;
    device->Flags = DO_DEVICE_INITIALIZING | (exclusive ? DO_EXCLUSIVE : 0);
    device->Characteristics = characteristics;
    device->DeviceType = type;
    device->StackSize = 1;
    device->DeviceExtension =
        extensionSize != 0 ? reinterpret_cast<char*>(device) + deviceSize : nullptr;
    device->DeviceObjectExtension = reinterpret_cast<struct _DEVOBJ_EXTENSION*>(record);
    device->NextDevice = driver->DeviceObject;
    driver->DeviceObject = device;
    if (!canonical.empty()) {
        record->name = *name;
        NameEntry entry;
        entry.device = device;
        entry.displayName = *name;
        entry.creator = driver;
        names_[canonical] = entry;
    }
    devices_.insert(device);
    *result = device;
    return STATUS_SUCCESS;
}

// The memory of a device object and its extension is freed at deletion: nothing the kernel
// will still use may lie in it.
static void CheckNoDeferredWorkWithin(PDEVICE_OBJECT device)
{
    std::string found;
    {
        std::lock_guard<std::mutex> guard(Scheduler::Instance().mutex());
        found = Kernel::Current().deferred.DescribeWithin(
            device, DeviceHeaderSize() + device->Size - sizeof(DEVICE_OBJECT));
    }
    if (found.empty()) return;
    ReportViolation(Rule::DeviceDeletedWithDeferredWork,
                    "Device " + Hex(device) + " (" + Narrow(RecordOf(device)->name) + ") of " +
                        DriverName(device->DriverObject) + " was deleted while:\n" + found);
}

void ObjectManager::DeleteDevice(PDEVICE_OBJECT device)
{
    std::unique_lock<std::mutex> lock(mutex_);
    DeviceRecord* record = RecordOf(device);
    // A DeviceMap value named after the device (as SERIALCOMM values are) outlives its port.
    for (const auto& [path, values] : deviceMap_) {
        auto value = values.find(Upper(record->name));
        if (record->name.empty() || value == values.end()) continue;
        std::string where = Narrow(path) + "\\" + Narrow(value->second.name);
        lock.unlock();
        ReportViolation(Rule::DeviceDeletedWithDeviceMapValue,
                        "Device " + Hex(device) + " (" + Narrow(record->name) + ") of " +
                            DriverName(device->DriverObject) +
                            " was deleted while HARDWARE\\DEVICEMAP\\" + where +
                            " still names it.");
    }
    if (record->attachedTo != nullptr) {
        lock.unlock();
        ReportViolation(Rule::DeviceDeletedWhileAttached,
                        "Device " + Hex(device) + " (" + Narrow(record->name) +
                            ") is still attached to device " + Hex(record->attachedTo) + ".");
    }
    if (device->AttachedDevice != nullptr) {
        // The attachment above is a reference: the deletion waits for the device above to
        // detach (a device deleted for good while one stays attached is reported at the end).
        record->deletePending = true;
        lock.unlock();
        CheckNoDeferredWorkWithin(device);
        return;
    }
    lock.unlock();
    CheckNoDeferredWorkWithin(device);
    lock.lock();
    if (!record->name.empty()) names_.erase(CanonicalName(record->name));
    PDEVICE_OBJECT* link = &device->DriverObject->DeviceObject;
    while (*link != nullptr && *link != device) link = &(*link)->NextDevice;
    if (*link == device) *link = device->NextDevice;
    devices_.erase(device);
    delete record;
    lock.unlock();
    // The extension may hold spin locks; the memory may hold other locks next.
    Kernel::Current().locks.Forget(device,
                                   DeviceHeaderSize() + device->Size - sizeof(DEVICE_OBJECT));
    free(device);
}

PDEVICE_OBJECT ObjectManager::FindDevice(const std::u16string& name) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    std::u16string canonical = CanonicalName(name);
    for (int depth = 0; depth < 8; depth++) {
        auto it = names_.find(canonical);
        if (it == names_.end()) return nullptr;
        if (it->second.device != nullptr) return it->second.device;
        canonical = CanonicalName(it->second.linkTarget);
    }
    return nullptr;
}

bool ObjectManager::DeviceExists(PDEVICE_OBJECT device) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    return devices_.count(device) != 0;
}

size_t ObjectManager::DeviceCount(PDRIVER_OBJECT driver) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    size_t count = 0;
    for (PDEVICE_OBJECT device : devices_) count += device->DriverObject == driver;
    return count;
}

// ---------------------------------------------------------------------------------------------
// Symbolic links
// ---------------------------------------------------------------------------------------------
NTSTATUS ObjectManager::CreateSymbolicLink(const std::u16string& link, const std::u16string& target)
{
    std::lock_guard<std::mutex> guard(mutex_);
    std::u16string canonical = CanonicalName(link);
    if (names_.count(canonical) != 0) return STATUS_OBJECT_NAME_COLLISION;
    NameEntry entry;
    entry.linkTarget = target;
    entry.displayName = link;
    entry.creator = CurrentThread().executingDriver;
    names_[canonical] = entry;
    return STATUS_SUCCESS;
}

NTSTATUS ObjectManager::DeleteSymbolicLink(const std::u16string& link)
{
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = names_.find(CanonicalName(link));
    if (it == names_.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (it->second.device != nullptr) return STATUS_OBJECT_TYPE_MISMATCH;
    names_.erase(it);
    return STATUS_SUCCESS;
}

std::vector<std::pair<std::u16string, std::u16string>> ObjectManager::SymbolicLinks() const
{
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<std::pair<std::u16string, std::u16string>> links;
    for (const auto& [canonical, entry] : names_) {
        if (entry.device == nullptr) links.emplace_back(entry.displayName, entry.linkTarget);
    }
    return links;
}

size_t ObjectManager::SymbolicLinkCount(PDRIVER_OBJECT driver) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    size_t count = 0;
    for (const auto& [canonical, entry] : names_) {
        count += entry.device == nullptr && entry.creator == driver;
    }
    return count;
}

// ---------------------------------------------------------------------------------------------
// Device interfaces
// ---------------------------------------------------------------------------------------------
NTSTATUS ObjectManager::RegisterInterface(PDEVICE_OBJECT physicalDevice, const GUID& classGuid,
                                          const std::u16string& reference, std::u16string* linkName)
{
    std::lock_guard<std::mutex> guard(mutex_);
    DeviceRecord* record = RecordOf(physicalDevice);
    if (!record->isPhysical) return STATUS_INVALID_DEVICE_REQUEST;
    std::u16string path = record->instancePath;
    for (char16_t& c : path) {
        if (c == u'\\') c = u'#';
    }
    std::u16string link = u"\\??\\" + path + u"#" + GuidText(classGuid);
    if (!reference.empty()) link += u"\\" + reference;
    std::u16string canonical = CanonicalName(link);
    if (interfaces_.count(canonical) == 0) {
        InterfaceRecord entry;
        entry.linkName = link;
        entry.classGuid = classGuid;
        entry.physicalDevice = physicalDevice;
        entry.registeredBy = CurrentThread().executingDriver;
        interfaces_[canonical] = entry;
    }
    *linkName = interfaces_[canonical].linkName;
    return STATUS_SUCCESS;
}

NTSTATUS ObjectManager::SetInterfaceState(const std::u16string& linkName, bool enable)
{
    InterfaceRecord arrived;
    std::function<void(const InterfaceRecord&)> notify;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        auto it = interfaces_.find(CanonicalName(linkName));
        if (it == interfaces_.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
        if (enable && it->second.enabled) return STATUS_OBJECT_NAME_EXISTS;
        if (!enable && !it->second.enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
        it->second.enabled = enable;
        if (enable) {
            arrived = it->second;
            notify = interfaceArrival_;
        }
    }
    if (notify) notify(arrived);
    return STATUS_SUCCESS;
}

void ObjectManager::OnInterfaceArrival(std::function<void(const InterfaceRecord&)> handler)
{
    std::lock_guard<std::mutex> guard(mutex_);
    interfaceArrival_ = std::move(handler);
}

std::vector<InterfaceRecord> ObjectManager::Interfaces() const
{
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<InterfaceRecord> result;
    for (const auto& [canonical, entry] : interfaces_) result.push_back(entry);
    return result;
}

void ObjectManager::RemoveInterfacesOf(PDEVICE_OBJECT physicalDevice)
{
    std::lock_guard<std::mutex> guard(mutex_);
    for (auto it = interfaces_.begin(); it != interfaces_.end();) {
        if (it->second.physicalDevice == physicalDevice) {
            it = interfaces_.erase(it);
        } else {
            ++it;
        }
    }
}

size_t ObjectManager::EnabledInterfaceCount(PDRIVER_OBJECT driver) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    size_t count = 0;
    for (const auto& [canonical, entry] : interfaces_) {
        count += entry.enabled && entry.registeredBy == driver;
    }
    return count;
}

// ---------------------------------------------------------------------------------------------
// Power states reported for devices
// ---------------------------------------------------------------------------------------------
POWER_STATE ObjectManager::RecordPowerState(PDEVICE_OBJECT device, POWER_STATE_TYPE type,
                                            POWER_STATE state)
{
    std::lock_guard<std::mutex> guard(mutex_);
    DeviceRecord* record = RecordOf(device);
    POWER_STATE previous{};
    for (auto it = record->reportedPower.rbegin(); it != record->reportedPower.rend(); ++it) {
        if (it->first == type) {
            previous = it->second;
            break;
        }
    }
    record->reportedPower.emplace_back(type, state);
    return previous;
}

std::vector<std::pair<POWER_STATE_TYPE, POWER_STATE>> ObjectManager::PowerStates(
    PDEVICE_OBJECT device) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    return RecordOf(device)->reportedPower;
}

// ---------------------------------------------------------------------------------------------
// Registry keys of devices
// ---------------------------------------------------------------------------------------------
NTSTATUS ObjectManager::OpenRegistryKey(PDEVICE_OBJECT physicalDevice, ULONG keyType,
                                        PHANDLE handle)
{
    std::lock_guard<std::mutex> guard(mutex_);
    DeviceRecord* record = RecordOf(physicalDevice);
    if (!record->isPhysical) return STATUS_INVALID_DEVICE_REQUEST;
    ULONG kind = keyType & ~ULONG(PLUGPLAY_REGKEY_CURRENT_HWPROFILE);
    if (kind != PLUGPLAY_REGKEY_DEVICE && kind != PLUGPLAY_REGKEY_DRIVER) {
        return STATUS_INVALID_PARAMETER;
    }
    if (record->failRegistryOpen) return STATUS_OBJECT_NAME_NOT_FOUND;
    auto key = std::make_unique<KeyHandle>(
        KeyHandle{physicalDevice, kind, CurrentThread().executingDriver});
    *handle = key.get();
    handles_[key.get()] = std::move(key);
    return STATUS_SUCCESS;
}

NTSTATUS ObjectManager::SetRegistryValue(HANDLE handle, const std::u16string& name, ULONG type,
                                         const void* data, ULONG size)
{
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = handles_.find(handle);
    if (it == handles_.end()) return STATUS_INVALID_HANDLE;
    DeviceRecord* record = RecordOf(it->second->device);
    auto& key =
        it->second->keyType == PLUGPLAY_REGKEY_DEVICE ? record->hardwareKey : record->driverKey;
    const auto* bytes = static_cast<const UCHAR*>(data);
    key[Upper(name)] = {type, std::vector<UCHAR>(bytes, bytes + size)};
    return STATUS_SUCCESS;
}

NTSTATUS ObjectManager::CloseHandle(HANDLE handle)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (handles_.erase(handle) == 0) {
        lock.unlock();
        ReportViolation(Rule::InvalidKernelHandle, "ZwClose was given " + Hex(handle) + ".");
    }
    return STATUS_SUCCESS;
}

size_t ObjectManager::OpenHandleCount(PDRIVER_OBJECT driver) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    size_t count = 0;
    for (const auto& [handle, key] : handles_) count += key->owner == driver;
    return count;
}

NTSTATUS ObjectManager::QueryRegistryValue(HANDLE handle, const std::u16string& name, ULONG* type,
                                           std::vector<UCHAR>* data) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = handles_.find(handle);
    if (it == handles_.end()) return STATUS_INVALID_HANDLE;
    DeviceRecord* record = RecordOf(it->second->device);
    const auto& key =
        it->second->keyType == PLUGPLAY_REGKEY_DEVICE ? record->hardwareKey : record->driverKey;
    auto value = key.find(Upper(name));
    if (value == key.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    *type = value->second.first;
    *data = value->second.second;
    return STATUS_SUCCESS;
}

void ObjectManager::WriteRegistryValue(PDEVICE_OBJECT physicalDevice, const std::u16string& name,
                                       ULONG type, const std::vector<UCHAR>& data)
{
    std::lock_guard<std::mutex> guard(mutex_);
    RecordOf(physicalDevice)->hardwareKey[Upper(name)] = {type, data};
}

bool ObjectManager::ReadRegistryValue(PDEVICE_OBJECT physicalDevice, const std::u16string& name,
                                      ULONG* type, std::vector<UCHAR>* data) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    DeviceRecord* record = RecordOf(physicalDevice);
    auto it = record->hardwareKey.find(Upper(name));
    if (it == record->hardwareKey.end()) return false;
    *type = it->second.first;
    *data = it->second.second;
    return true;
}

void ObjectManager::WriteDeviceMapValue(const std::u16string& path, DeviceMapValue value)
{
    std::lock_guard<std::mutex> guard(mutex_);
    std::u16string name = Upper(value.name);
    deviceMap_[Upper(path)][name] = std::move(value);
}

NTSTATUS ObjectManager::DeleteDeviceMapValue(const std::u16string& path, const std::u16string& name)
{
    std::lock_guard<std::mutex> guard(mutex_);
    auto key = deviceMap_.find(Upper(path));
    if (key == deviceMap_.end() || key->second.erase(Upper(name)) == 0) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return STATUS_SUCCESS;
}

std::vector<ObjectManager::DeviceMapValue> ObjectManager::DeviceMapValues(
    const std::u16string& path) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<DeviceMapValue> values;
    auto key = deviceMap_.find(Upper(path));
    if (key == deviceMap_.end()) return values;
    for (const auto& [name, value] : key->second) values.push_back(value);
    return values;
}

std::vector<std::string> ObjectManager::DeviceMapValuesOf(PDRIVER_OBJECT driver) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<std::string> found;
    for (const auto& [path, values] : deviceMap_) {
        for (const auto& [name, value] : values) {
            if (value.writer == driver) found.push_back(Narrow(path) + "\\" + Narrow(value.name));
        }
    }
    return found;
}

}  // namespace host

// ---------------------------------------------------------------------------------------------
// Kernel routines
// ---------------------------------------------------------------------------------------------
extern "C" NTSTATUS IoCreateDevice(PDRIVER_OBJECT driverObject, ULONG deviceExtensionSize,
                                   PUNICODE_STRING deviceName, DEVICE_TYPE deviceType,
                                   ULONG deviceCharacteristics, BOOLEAN exclusive,
                                   PDEVICE_OBJECT* deviceObject)
{
    RequireIrqlAtMost("IoCreateDevice", PASSIVE_LEVEL);
    std::u16string name;
    if (deviceName != nullptr) name = ReadDriverString(deviceName, "IoCreateDevice");
    return Kernel::Current().objects.CreateDevice(
        driverObject, deviceExtensionSize, deviceName != nullptr ? &name : nullptr, deviceType,
        deviceCharacteristics, exclusive, deviceObject);
}

extern "C" VOID IoDeleteDevice(PDEVICE_OBJECT deviceObject)
{
    RequireIrqlAtMost("IoDeleteDevice", PASSIVE_LEVEL);
    Kernel::Current().objects.DeleteDevice(deviceObject);
}

extern "C" PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT deviceObject)
{
    while (deviceObject->AttachedDevice != nullptr) deviceObject = deviceObject->AttachedDevice;
    return deviceObject;
}

extern "C" PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT sourceDevice,
                                                      PDEVICE_OBJECT targetDevice)
{
    PDEVICE_OBJECT top = IoGetAttachedDevice(targetDevice);
    if (RecordOf(targetDevice)->refusesAttach || RecordOf(top)->refusesAttach) return nullptr;
    top->AttachedDevice = sourceDevice;
    sourceDevice->StackSize = CCHAR(top->StackSize + 1);
    if (top->AlignmentRequirement > sourceDevice->AlignmentRequirement) {
        sourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    }
    sourceDevice->SectorSize = top->SectorSize;
    RecordOf(sourceDevice)->attachedTo = top;
    return top;
}

extern "C" VOID IoDetachDevice(PDEVICE_OBJECT targetDevice)
{
    PDEVICE_OBJECT upper = targetDevice->AttachedDevice;
    if (upper != nullptr) RecordOf(upper)->attachedTo = nullptr;
    targetDevice->AttachedDevice = nullptr;
    // A device its driver deleted while this one was attached goes now.
    if (RecordOf(targetDevice)->deletePending) Kernel::Current().objects.DeleteDevice(targetDevice);
}

extern "C" NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING symbolicLinkName,
                                         PUNICODE_STRING deviceName)
{
    RequireIrqlAtMost("IoCreateSymbolicLink", PASSIVE_LEVEL);
    std::u16string link = ReadDriverString(symbolicLinkName, "IoCreateSymbolicLink");
    std::u16string target = ReadDriverString(deviceName, "IoCreateSymbolicLink");
    return Kernel::Current().objects.CreateSymbolicLink(link, target);
}

extern "C" NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING symbolicLinkName)
{
    RequireIrqlAtMost("IoDeleteSymbolicLink", PASSIVE_LEVEL);
    std::u16string link = ReadDriverString(symbolicLinkName, "IoDeleteSymbolicLink");
    return Kernel::Current().objects.DeleteSymbolicLink(link);
}

extern "C" NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT physicalDeviceObject,
                                              const GUID* interfaceClassGuid,
                                              PUNICODE_STRING referenceString,
                                              PUNICODE_STRING symbolicLinkName)
{
    RequireIrqlAtMost("IoRegisterDeviceInterface", PASSIVE_LEVEL);
    std::u16string reference;
    if (referenceString != nullptr) {
        reference = ReadDriverString(referenceString, "IoRegisterDeviceInterface");
    }
    std::u16string link;
    NTSTATUS status = Kernel::Current().objects.RegisterInterface(
        physicalDeviceObject, *interfaceClassGuid, reference, &link);
    if (!NT_SUCCESS(status)) return status;
    // The link name's buffer is the caller's, freed with RtlFreeUnicodeString.
    size_t bytes = (link.size() + 1) * sizeof(WCHAR);
    auto* buffer = static_cast<PWSTR>(Kernel::Current().pool.Allocate(
        PagedPool, bytes, CallSite{"", 0, "IoRegisterDeviceInterface"}));
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    memcpy(buffer, link.c_str(), bytes);
    symbolicLinkName->Buffer = buffer;
    symbolicLinkName->Length = USHORT(link.size() * sizeof(WCHAR));
    symbolicLinkName->MaximumLength = USHORT(bytes);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING symbolicLinkName, BOOLEAN enable)
{
    RequireIrqlAtMost("IoSetDeviceInterfaceState", PASSIVE_LEVEL);
    std::u16string link = ReadDriverString(symbolicLinkName, "IoSetDeviceInterfaceState");
    // Enabling allocates on the system's side (the interface's arrival notification), so it
    // fails like an allocation when fault injection says so.
    if (enable && Kernel::Current().pool.ShouldFail(CallSite{"", 0, "IoSetDeviceInterfaceState"})) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return Kernel::Current().objects.SetInterfaceState(link, enable != FALSE);
}

extern "C" NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT deviceObject, ULONG devInstKeyType,
                                            ACCESS_MASK desiredAccess, PHANDLE deviceRegKey)
{
    RequireIrqlAtMost("IoOpenDeviceRegistryKey", PASSIVE_LEVEL);
    (void)desiredAccess;
    return Kernel::Current().objects.OpenRegistryKey(deviceObject, devInstKeyType, deviceRegKey);
}

extern "C" NTSTATUS ZwSetValueKey(HANDLE keyHandle, PUNICODE_STRING valueName, ULONG titleIndex,
                                  ULONG type, PVOID data, ULONG dataSize)
{
    RequireIrqlAtMost("ZwSetValueKey", PASSIVE_LEVEL);
    (void)titleIndex;
    std::u16string name = ReadDriverString(valueName, "ZwSetValueKey");
    std::string site;
    if (dataSize != 0 && Kernel::Current().pool.IsFreedMemory(data, dataSize, &site)) {
        ReportViolation(Rule::PoolBufferUseAfterFree,
                        "ZwSetValueKey was given data in freed pool (allocated by " + site + ").");
    }
    return Kernel::Current().objects.SetRegistryValue(keyHandle, name, type, data, dataSize);
}

// Only the partial information is emulated: the driver asks for nothing else.
extern "C" NTSTATUS ZwQueryValueKey(HANDLE keyHandle, PUNICODE_STRING valueName,
                                    KEY_VALUE_INFORMATION_CLASS keyValueInformationClass,
                                    PVOID keyValueInformation, ULONG length, PULONG resultLength)
{
    RequireIrqlAtMost("ZwQueryValueKey", PASSIVE_LEVEL);
    if (keyValueInformationClass != KeyValuePartialInformation) {
        ReportViolation(Rule::NotEmulated, "ZwQueryValueKey with information class " +
                                               std::to_string(int(keyValueInformationClass)) + ".");
    }
    std::u16string name = ReadDriverString(valueName, "ZwQueryValueKey");
    ULONG type = REG_NONE;
    std::vector<UCHAR> data;
    NTSTATUS status = Kernel::Current().objects.QueryRegistryValue(keyHandle, name, &type, &data);
    if (!NT_SUCCESS(status)) return status;
    // The record's fixed part, then the data; a buffer too short for the fixed part gets
    // nothing, one too short for the data gets the fixed part (STATUS_BUFFER_OVERFLOW).
    const ULONG fixed = ULONG(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data));
    const ULONG needed = fixed + ULONG(data.size());
    *resultLength = needed;
    if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
    auto* information = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(keyValueInformation);
    information->TitleIndex = 0;
    information->Type = type;
    information->DataLength = ULONG(data.size());
    if (length < needed) return STATUS_BUFFER_OVERFLOW;
    if (!data.empty()) memcpy(information->Data, data.data(), data.size());
    return STATUS_SUCCESS;
}

// A zero-terminated string handed to a registry routine, checked against freed pool.
static std::u16string ReadZeroTerminated(PCWSTR text, const char* routine, const char* what)
{
    if (text == nullptr) {
        ReportViolation(Rule::InvalidUnicodeString,
                        std::string(routine) + " was given no " + what + ".");
    }
    size_t length = 0;
    while (text[length] != 0) length++;
    std::string site;
    if (Kernel::Current().pool.IsFreedMemory(text, (length + 1) * sizeof(WCHAR), &site)) {
        ReportViolation(Rule::PoolBufferUseAfterFree, std::string(routine) + " was given a " +
                                                          what + " in freed pool (allocated by " +
                                                          site + ").");
    }
    return std::u16string(reinterpret_cast<const char16_t*>(text), length);
}

// Only RTL_REGISTRY_DEVICEMAP is emulated (RTL_REGISTRY_OPTIONAL is accepted and changes
// nothing): the driver writes nothing else this way.
static void RequireDeviceMap(ULONG relativeTo, const char* routine)
{
    if ((relativeTo & ~ULONG(RTL_REGISTRY_OPTIONAL)) != RTL_REGISTRY_DEVICEMAP) {
        ReportViolation(Rule::NotEmulated,
                        std::string(routine) + " relative to " + std::to_string(relativeTo) + ".");
    }
}

// Writes a value under HARDWARE\DEVICEMAP\Path, creating the key; an existing value of the
// name is replaced.
extern "C" NTSTATUS RtlWriteRegistryValue(ULONG relativeTo, PCWSTR path, PCWSTR valueName,
                                          ULONG valueType, PVOID valueData, ULONG valueLength)
{
    RequireIrqlAtMost("RtlWriteRegistryValue", PASSIVE_LEVEL);
    RequireDeviceMap(relativeTo, "RtlWriteRegistryValue");
    host::ObjectManager::DeviceMapValue value;
    value.name = ReadZeroTerminated(valueName, "RtlWriteRegistryValue", "value name");
    value.type = valueType;
    if (valueLength != 0) {
        std::string site;
        if (Kernel::Current().pool.IsFreedMemory(valueData, valueLength, &site)) {
            ReportViolation(
                Rule::PoolBufferUseAfterFree,
                "RtlWriteRegistryValue was given data in freed pool (allocated by " + site + ").");
        }
        const auto* bytes = static_cast<const UCHAR*>(valueData);
        value.data.assign(bytes, bytes + valueLength);
    }
    value.writer = CurrentThread().executingDriver;
    Kernel::Current().objects.WriteDeviceMapValue(
        ReadZeroTerminated(path, "RtlWriteRegistryValue", "path"), std::move(value));
    return STATUS_SUCCESS;
}

// Deletes a value under HARDWARE\DEVICEMAP\Path: STATUS_OBJECT_NAME_NOT_FOUND when there is
// none.
extern "C" NTSTATUS RtlDeleteRegistryValue(ULONG relativeTo, PCWSTR path, PCWSTR valueName)
{
    RequireIrqlAtMost("RtlDeleteRegistryValue", PASSIVE_LEVEL);
    RequireDeviceMap(relativeTo, "RtlDeleteRegistryValue");
    return Kernel::Current().objects.DeleteDeviceMapValue(
        ReadZeroTerminated(path, "RtlDeleteRegistryValue", "path"),
        ReadZeroTerminated(valueName, "RtlDeleteRegistryValue", "value name"));
}

extern "C" NTSTATUS ZwClose(HANDLE handle)
{
    RequireIrqlAtMost("ZwClose", PASSIVE_LEVEL);
    return Kernel::Current().objects.CloseHandle(handle);
}
