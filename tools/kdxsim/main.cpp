// kdxsim: the simulator. Loads the driver into a host running in virtual time (or real time,
// or under the schedule explorer) and runs a scenario against it: the built-in demo, a scenario
// file, or standard input.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "dispatch_table.h"
#include "names.h"
#include "scenario.h"
#include "sys/kdxlusb.h"

namespace {

const char kUsage[] = "usage: kdxsim [--seed N | --real-time] [FILE | - | --table | --help]\n";

const char kDemo[] = R"(# Two devices of the numbered product 0x005B and one of another product.
plug first
expect STATUS_SUCCESS port=VLT0 device=\Device\KDX_LUSB0
plug second vid=0x0403
expect port=VLT1 device=\Device\KDX_LUSB1
plug other pid=1234 packet=512
expect STATUS_SUCCESS port=KD device=\Device\KDX_LUSB2
ports
expect VLT0=\Device\KDX_LUSB0 VLT1=\Device\KDX_LUSB1 KD=\Device\KDX_LUSB2
registry second
expect PortName=VLT1
registry other
expect PortName=KD
interfaces
expect first={36FC9E60-C465-11CF-8056-444553540000}
expect other={36FC9E60-C465-11CF-8056-444553540000}
requests first
expect select-configuration, maximum transfer sizes [4096 4096]
# The driver reports a removable device that may go by surprise, whatever the bus says.
pnp first capabilities
expect STATUS_SUCCESS Removable=1 SurpriseRemovalOK=1 LockSupported=0 EjectSupported=0
pnp first query-id
expect STATUS_NOT_IMPLEMENTED
# A device power round trip: D3 is reported on the way down, D0 once the bus powered up.
power first device D3
expect STATUS_SUCCESS reported=D0,D3
power first device D0
expect STATUS_SUCCESS reported=D0,D3,D0
power first query
expect STATUS_INVALID_DEVICE_STATE
# A data round trip through the first port: what is written comes back from the device's echo.
open VLT0
expect open VLT0: STATUS_SUCCESS
timeouts VLT0 0 0 5000 0 5000
expect timeouts VLT0: STATUS_SUCCESS
mask VLT0 0001
expect mask VLT0: STATUS_SUCCESS
device first echo on
expect device first echo: on
write VLT0 "hello, port\n"
expect write VLT0: STATUS_SUCCESS written=12
read VLT0 12
expect read VLT0: STATUS_SUCCESS n=12 data="hello, port\n" sum=0x
stats VLT0
expect stats VLT0: STATUS_SUCCESS rx=12 tx=12
close VLT0
expect close VLT0: STATUS_SUCCESS
# The first device pulled out: its port goes, and with no handle open the removal follows at
# once. The end of the run pulls out the other two and unloads the driver.
unplug first
expect unplug first: STATUS_SUCCESS
ports
expect ports: VLT1=\Device\KDX_LUSB1 KD=\Device\KDX_LUSB2
)";

std::string Help()
{
    return std::string(kUsage) + R"(
Loads the kdxlusb driver into the host and runs a scenario against it, in virtual time: the
clock moves only when every host thread waits, straight to the next deadline, so a sleep or
a timeout of a minute costs no wall time.
  (no argument)   the built-in demo, after the table of what DriverEntry installed
  FILE            the scenario in FILE (examples in tools/kdxsim/scenarios/)
  -               the scenario read from standard input
  --table         only the table: load, print it, unload, print the verifier summary
  --help          this text
  --seed N        run in virtual time under the schedule explorer with seed N (N > 0):
                  one thread runs at a time and seed N chooses the interleaving, so a run
                  that fails replays exactly with the same seed (make stress sweeps seeds)
  --real-time     run on the real clock instead, to watch a scenario live: a sleep
                  or a timeout takes its time

)" + kdxsim::Scenario::Help() +
           R"(
At the end, handles the scenario left open are closed, as a program's are when it exits,
each with a line close H: STATUS (at the end). Then every device not yet removed is pulled
out, each with a line unplug NAME: STATUS (at the end): it vanishes from the bus, and the
surprise removal and the removal follow. Once the driver's device objects are all gone the
driver is unloaded (driver unloaded), with the verifier's checks: a resource still held
then stops the run with the verifier's report. kdxsim prints the verifier summary, which
should read nothing outstanding, and the verdict.

Exit status:
  0  every expect held and nothing was left outstanding
     (--table: nothing outstanding after the unload)
  1  an expect failed, a line was malformed, DriverEntry failed, or device objects or
     other resources were left at the end (--table: something outstanding after the unload)
  2  a bad command line, or a scenario file that cannot be read
)";
}

// The old first form: what DriverEntry installed, then unload and the verifier summary.
int RunTable(host::Host& host)
{
    kdxsim::PrintDispatchTable(host.driver(), stdout);
    host.UnloadDriver();
    fputs(host.Summary().Format().c_str(), stdout);
    return host.Summary().Clean() ? 0 : 1;
}

// Ends a scenario as its user would: the handles closed, every device pulled out and the
// driver unloaded once its devices are gone. Returns the exit status.
int RunScenario(host::Host& host, std::istream& input, const std::string& source)
{
    kdxsim::Scenario scenario(host, stdout);
    bool passed = scenario.Run(input, source);
    scenario.CloseHandles();
    scenario.UnplugDevices();
    size_t devicesLeft = host.objects().DeviceCount(host.driver());
    if (devicesLeft == 0) {
        // The verifier's unload checks stop the run with a report when anything is left.
        host.UnloadDriver();
        puts("driver unloaded");
    } else {
        printf("driver not unloaded: %zu device object%s left\n", devicesLeft,
               devicesLeft == 1 ? " is" : "s are");
    }
    host::VerifierSummary summary = host.Summary();
    fputs(summary.Format().c_str(), stdout);
    scenario.PrintVerdict();
    if (devicesLeft != 0) {
        // The host's own end-of-run checks would stop the process at the devices left: the
        // summary above has said what is outstanding.
        fflush(stdout);
        std::_Exit(1);
    }
    return passed && summary.Clean() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    host::HostOptions options;
    options.clock = host::ClockMode::Virtual;
    options.schedule = host::ScheduleOptions();
    int first = 1;
    std::string seedText;
    for (; first < argc; first++) {
        if (strcmp(argv[first], "--real-time") == 0 && options.clock == host::ClockMode::Virtual) {
            options.clock = host::ClockMode::Real;
        } else if (strcmp(argv[first], "--seed") == 0 && first + 1 < argc && seedText.empty()) {
            seedText = argv[++first];
            char* end = nullptr;
            options.schedule.seed = strtoull(seedText.c_str(), &end, 10);
            if (options.schedule.seed == 0 || *end != '\0') {
                fputs(kUsage, stderr);
                return 2;
            }
        } else {
            break;
        }
    }
    if (options.schedule.seed != 0 && options.clock == host::ClockMode::Real) {
        fputs("kdxsim: --seed explores schedules in virtual time, not with --real-time\n", stderr);
        return 2;
    }
    std::string argument = argc > first ? argv[first] : "";
    if (argc > first + 1 || (argument.size() > 1 && argument[0] == '-' && argument != "--table" &&
                             argument != "--help" && argument != "-h")) {
        fputs(kUsage, stderr);
        return 2;
    }
    if (argument == "--help" || argument == "-h") {
        fputs(Help().c_str(), stdout);
        return 0;
    }
    std::ifstream file;
    if (!argument.empty() && argument[0] != '-') {
        file.open(argument);
        if (!file) {
            fprintf(stderr, "kdxsim: cannot read %s: %s\n", argument.c_str(), strerror(errno));
            return 2;
        }
    }

    if (options.schedule.seed != 0) {
        host::SetReplayCommand(std::string(argv[0]) + " --seed " + seedText + " " + argument);
    }
    host::Host host(options);
    NTSTATUS status = host.LoadDriver(DriverEntry);
    printf("DriverEntry: %s\n", kdxsim::StatusName(status).c_str());
    if (!NT_SUCCESS(status)) return 1;

    if (argument == "--table") return RunTable(host);
    if (argument == "-") return RunScenario(host, std::cin, "stdin");
    if (!argument.empty()) return RunScenario(host, file, argument);
    kdxsim::PrintDispatchTable(host.driver(), stdout);
    puts("");
    std::istringstream demo(kDemo);
    return RunScenario(host, demo, "demo");
}
