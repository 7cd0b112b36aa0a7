// The replay of a fuzz target without libFuzzer: runs the target once on each file named, and
// on each file of each directory named, in name order. A failing input aborts the run, as it
// does under the fuzzer; the run then says which file it was and how to replay it alone.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "host/src/scheduler.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::string g_failing;  // what to print when the input being replayed fails

void OnFatalSignal(int signal)
{
    ssize_t ignored = write(STDERR_FILENO, g_failing.data(), g_failing.size());
    (void)ignored;
    ::signal(signal, SIG_DFL);
    raise(signal);
}

}  // namespace

// Under the sanitizers (make test-asan), a report aborts, so that the failing input is named.
extern "C" const char* __asan_default_options() { return "abort_on_error=1"; }
extern "C" const char* __ubsan_default_options() { return "abort_on_error=1:print_stacktrace=1"; }

int main(int argc, char** argv)
{
    std::vector<std::string> files;
    for (int i = 1; i < argc; i++) {
        std::filesystem::path path(argv[i]);
        if (std::filesystem::is_directory(path)) {
            for (const auto& entry : std::filesystem::directory_iterator(path)) {
                if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') {
                    files.push_back(entry.path().string());
                }
            }
        } else if (std::filesystem::is_regular_file(path)) {
            files.push_back(path.string());
        } else if (!std::filesystem::exists(path)) {
            fprintf(stderr, "%s: no such file or directory\n", argv[i]);
            return 2;
        }
    }
    std::sort(files.begin(), files.end());
    for (int sig : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL}) signal(sig, OnFatalSignal);
    for (const std::string& file : files) {
        std::ifstream stream(file, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(stream)),
                                   std::istreambuf_iterator<char>());
        std::string command = std::string(argv[0]) + " " + file;
        host::SetReplayCommand(command);
        g_failing = "\nfuzz replay: the input " + file + " failed; replay it alone with\n  " +
                    command + "\n";
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    printf("%zu inputs replayed, every check held\n", files.size());
    return 0;
}
