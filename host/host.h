// The host: a user-mode stand-in for the Windows kernel and the USB stack in which the driver
// runs unmodified. Tests, benchmarks and the simulator create one Host, load the driver into
// it, and drive the driver the way Windows would.
#pragma once

#include <string>

#include "src/application.h"
#include "src/kernel.h"
#include "src/pnp_manager.h"
#include "src/usb_bus.h"

namespace host {

struct HostOptions {
    ClockMode clock = ClockMode::Virtual;
    // Exploring schedules (virtual time only): by default the seed of KDX_SCHEDULE_SEED.
    ScheduleOptions schedule = ScheduleOptions::FromEnvironment();
};

// What the verifier finds outstanding, for the summary at the end of a run.
struct VerifierSummary {
    size_t poolBlocks = 0;
    size_t poolBytes = 0;
    uint64_t poolAllocations = 0;
    uint64_t failedAllocations = 0;
    size_t deviceObjects = 0;
    size_t symbolicLinks = 0;
    size_t enabledInterfaces = 0;
    size_t timersSet = 0;
    size_t dpcsQueued = 0;
    size_t workItems = 0;
    size_t registryHandles = 0;
    size_t irpsOutstanding = 0;
    uint64_t irpsAllocated = 0;
    uint64_t completionsUnderSpinLock = 0;

    bool Clean() const;
    std::string Format() const;
};

class Host {
public:
    explicit Host(HostOptions options = {});
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // Creates a driver object named "\Driver\<name>", calls the entry routine and returns
    // its status. A driver whose entry routine fails is gone again and must have freed what it
    // allocated. Several drivers may be loaded (tests load small drivers of their own); the
    // first one loaded is driver().
    NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, const std::string& name = "kdxlusb",
                        PDRIVER_OBJECT* loaded = nullptr);
    // Calls the unload routine and then checks, as the verifier does at unload, that the
    // driver left nothing behind; a finding aborts with a report. Without an argument, unloads
    // driver(). Drivers still loaded when the host ends are checked the same way then.
    void UnloadDriver(PDRIVER_OBJECT driver = nullptr);
    PDRIVER_OBJECT driver() const { return driver_; }

    VerifierSummary Summary() const;

    // Ends a run the way a user ends a session with the machine: the application's handles
    // still open are closed, every device still on the bus is pulled out (surprise removal and
    // removal), and every driver left without devices is unloaded, with the unload checks.
    // Whatever is then left behind is reported when the host ends.
    void EndRun();

    Kernel& kernel() { return *kernel_; }
    Pool& pool() { return kernel_->pool; }
    ObjectManager& objects() { return kernel_->objects; }
    IoManager& io() { return kernel_->io; }
    Deferred& deferred() { return kernel_->deferred; }
    UsbBus& bus() { return *kernel_->bus; }
    PnpManager& pnp() { return *kernel_->pnp; }
    // The application side: opening ports and making requests as a program does.
    Application& app() { return *kernel_->app; }

    // Plugs a simulated device and brings it up with the first driver loaded.
    PnpManager::Plugged Plug(const DeviceModel& model) { return kernel_->pnp->Plug(model, driver_); }

    // The clock, and a host wait of the calling thread (virtual time moves while it waits).
    Ticks Now() const { return Scheduler::Instance().Now(); }
    void Sleep(Ticks duration);
    // A host wait of the calling thread that ends once every other host thread is blocked
    // (waiting on an object, a timer or a deadline): what was set off has run as far as it can
    // without the clock moving, and the clock has not moved.
    void RunUntilIdle();

private:
    PDRIVER_OBJECT CreateDriverObject(const std::string& name);
    void DeleteDriverObject(PDRIVER_OBJECT driver);
    void CheckDevicesGone(PDRIVER_OBJECT driver, const char* when);
    void CheckNothingLeftBehind(PDRIVER_OBJECT driver, const char* when);

    HostOptions options_;
    std::unique_ptr<Kernel> kernel_;
    std::vector<PDRIVER_OBJECT> drivers_;
    PDRIVER_OBJECT driver_ = nullptr;      // the first driver loaded
    PDRIVER_OBJECT lastDriver_ = nullptr;  // identifies an unloaded driver's leftovers
};

// Milliseconds as kernel time units.
constexpr Ticks Milliseconds(int64_t ms) { return ms * kTicksPerMillisecond; }

}  // namespace host
