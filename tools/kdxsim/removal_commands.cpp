// The teardown commands of a scenario: the device pulled out, the stop, start, removal and
// surprise removal sequences of the PnP manager, and the unplugging of every device still
// there when a scenario ends. The simulator keeps track of which devices are gone, since the
// removal after a surprise removal arrives only when the application closes the last handle.
#include "names.h"
#include "scenario.h"
#include "device_options.h"

namespace kdxsim {

std::string Scenario::Unplug(const Words& words)
{
    Require(words.size() == 2, "unplug NAME");
    Device& device = FindPresent(words[1]);
    return "unplug " + device.name + ": " + StatusName(UnplugDevice(device));
}

NTSTATUS Scenario::UnplugDevice(Device& device)
{
    RefuseAfterSurprise(device);
    device.unplugged = true;
    device.surprised = true;
    NTSTATUS status = host_.pnp().Unplug(device.plugged.physicalDevice);
    Settle();
    NoteRemovals();
    return status;
}

// pnp NAME stop|start|remove|surprise: the sequences the PnP manager runs. Returns the status
// to show, or "" when `action` names none of them.
std::string Scenario::PnpSequence(Device& device, const std::string& action)
{
    if (action != "stop" && action != "start" && action != "remove" && action != "surprise") {
        return "";
    }
    RefuseAfterSurprise(device);
    host::PnpManager& pnp = host_.pnp();
    PDEVICE_OBJECT physicalDevice = device.plugged.physicalDevice;
    NTSTATUS status;
    if (action == "stop") {
        status = pnp.Stop(physicalDevice, false);
    } else if (action == "start") {
        // A start that fails is followed by the removal.
        status = pnp.Start(physicalDevice);
        if (!NT_SUCCESS(status)) MarkGone(device);
    } else if (action == "remove") {
        // Query-remove, then the removal when the driver agreed, otherwise cancel-remove.
        status = pnp.Remove(physicalDevice);
        if (NT_SUCCESS(status)) MarkGone(device);
    } else {
        device.surprised = true;
        status = pnp.SurpriseRemove(physicalDevice);
    }
    Settle();
    NoteRemovals();
    return StatusName(status);
}

// The removal alone, as a bare minor function. Windows sends it only once no handle is open:
// sent with one open, the device objects would go while the application still uses them.
std::string Scenario::SendRemoval(Device& device)
{
    RefuseAfterSurprise(device);
    if (host_.app().OpenHandleCount(device.plugged.physicalDevice) != 0) {
        throw ScenarioError("a handle of device \"" + device.name +
                            "\" is open: the removal is not sent before its close (pnp " +
                            device.name + " remove asks the driver first)");
    }
    NTSTATUS status = host_.pnp().SendRemove(device.plugged.physicalDevice);
    MarkGone(device);
    return StatusName(status);
}

// After a surprise removal Windows sends the device nothing but its removal.
void Scenario::RefuseAfterSurprise(const Device& device)
{
    if (device.surprised) {
        throw ScenarioError("device \"" + device.name +
                            "\" was surprise-removed: only its removal follows, when its last "
                            "handle is closed");
    }
}

void Scenario::NoteRemovals()
{
    for (Device& device : devices_) {
        if (device.surprised && !device.gone &&
            !host_.pnp().RemovalWaiting(device.plugged.physicalDevice)) {
            MarkGone(device);
        }
    }
}

// After the removal the driver's device object is deleted, and after an unplug the bus's
// too: the scenario keeps neither pointer, so that a later device at the same address is
// never taken for this one.
void Scenario::MarkGone(Device& device)
{
    device.gone = true;
    device.plugged.functionDevice = nullptr;
    device.plugged.physicalDevice = nullptr;
}

void Scenario::UnplugDevices()
{
    Settle();
    NoteRemovals();
    for (Device& device : devices_) {
        if (device.gone || device.surprised) continue;
        NTSTATUS status = UnplugDevice(device);
        fprintf(out_, "unplug %s: %s (at the end)\n", device.name.c_str(),
                StatusName(status).c_str());
    }
    fflush(out_);
}

Scenario::Device& Scenario::FindPresent(const std::string& name)
{
    Device& device = Find(name);
    if (device.gone) throw ScenarioError("device \"" + name + "\" is gone: it was removed");
    return device;
}

}  // namespace kdxsim
