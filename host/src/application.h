// The application side of the I/O manager: what a Win32 program's CreateFile, CloseHandle,
// ReadFile, WriteFile, DeviceIoControl and CancelIo become for a driver. A name is resolved
// through the object namespace and its links; each request is an IRP sent by the calling thread
// to the top of the device's stack, with the file object of the handle, at the thread's IRQL.
// A synchronous call then waits for it in a host wait; an outstanding request can be polled,
// waited on and cancelled. Reads, writes and device control use the device's buffering method:
// buffered I/O (DO_BUFFERED_IO, METHOD_BUFFERED) through a system buffer whose first Information
// bytes are copied back at completion, or neither I/O with the caller's buffers.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "kernel.h"

namespace host {

// A handle is the file object of an open.
using Handle = PFILE_OBJECT;

struct OpenResult {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    Handle handle = nullptr;  // null when the open failed
};

struct IoResult {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    std::vector<UCHAR> output;  // reads and device control: the bytes returned
};

struct ApplicationRequest;
struct ApplicationFile;

// A request left outstanding, as with overlapped I/O.
class OutstandingRequest {
public:
    OutstandingRequest() = default;
    explicit OutstandingRequest(std::shared_ptr<ApplicationRequest> request)
        : request_(std::move(request))
    {
    }

    bool Completed() const;
    // Waits in a host wait (virtual time moves) and returns the result.
    IoResult Wait();
    // IoCancelIrp on the request, as CancelIo does; FALSE once it has completed.
    BOOLEAN Cancel();

private:
    std::shared_ptr<ApplicationRequest> request_;
};

class Application {
public:
    Application();
    ~Application();  // frees the file objects; requests still outstanding are abandoned
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // Opens "\DosDevices\X", "\??\X", "\\.\X" or "X": IRP_MJ_CREATE with a new file object.
    OpenResult Open(const std::u16string& name, ULONG createOptions = 0);
    // IRP_MJ_CLEANUP, then, once no request of the handle is outstanding, IRP_MJ_CLOSE; returns
    // the close's status. The handle is closed from the start; once the close has completed the
    // PnP manager hears of it (a removal may have waited for it).
    NTSTATUS Close(Handle handle);

    // `length` states a buffer length other than the bytes given (wrong when longer).
    IoResult Read(Handle handle, ULONG length);
    IoResult Write(Handle handle, const std::vector<UCHAR>& bytes,
                   std::optional<ULONG> length = std::nullopt);
    IoResult DeviceControl(Handle handle, ULONG code, const std::vector<UCHAR>& input,
                           ULONG outputLength, std::optional<ULONG> inputLength = std::nullopt);

    // NtQueryInformationFile: IRP_MJ_QUERY_INFORMATION for the class, with an output buffer of
    // `length` bytes passed through a system buffer whatever the device's buffering method.
    IoResult QueryInformation(Handle handle, FILE_INFORMATION_CLASS informationClass, ULONG length);

    OutstandingRequest StartRead(Handle handle, ULONG length);
    OutstandingRequest StartWrite(Handle handle, const std::vector<UCHAR>& bytes,
                                  std::optional<ULONG> length = std::nullopt);
    OutstandingRequest StartDeviceControl(Handle handle, ULONG code,
                                          const std::vector<UCHAR>& input, ULONG outputLength,
                                          std::optional<ULONG> inputLength = std::nullopt);

    // Requests sent and not yet completed, over every handle.
    size_t OutstandingCount() const;
    // Handles of the device whose physical device object is given, opened and not yet
    // closed to the end (their close request has not completed).
    size_t OpenHandleCount(PDEVICE_OBJECT physicalDevice) const;
    // Every handle not yet closed, by address.
    std::vector<Handle> OpenHandles() const;
    // The device a handle was opened on (its stack's top at the open).
    PDEVICE_OBJECT DeviceOf(Handle handle) const;
    // Forgets a handle whose device is gone without a close reaching it (a removal that came
    // while the handle was open, which Windows never sends): no request is sent.
    void Abandon(Handle handle);

private:
    ApplicationFile& Require(Handle handle, const char* call);
    std::shared_ptr<ApplicationRequest> NewRequest(ApplicationFile& file, UCHAR major,
                                                   const char* call);
    OutstandingRequest Send(const std::shared_ptr<ApplicationRequest>& request);
    static NTSTATUS RequestDone(PDEVICE_OBJECT device, PIRP irp, PVOID context);

    mutable std::mutex mutex_;
    std::map<Handle, std::unique_ptr<ApplicationFile>> files_;
    std::map<ApplicationRequest*, std::shared_ptr<ApplicationRequest>> outstanding_;
};

}  // namespace host
