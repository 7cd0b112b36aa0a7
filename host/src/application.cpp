// The application side of the I/O manager (see application.h).
//
// Each request is an IRP allocated by the system (no driver holds it before it is sent), with a
// completion routine in the driver's stack location that takes the result, copies a buffered
// request's output back and frees the IRP (with the system buffer, which the I/O manager owns); the
// IRP is kept while a cancel of it is under way, so that IoCancelIrp never meets a freed IRP.
#include "application.h"

#include "pnp_manager.h"

#include <algorithm>

namespace host {

struct ApplicationFile {
    FILE_OBJECT object{};
    std::u16string name;  // the name it was opened by, links not followed
    PDEVICE_OBJECT device = nullptr;
    bool open = false;
    bool held = false;  // from its create until its close has completed (or the create failed)
    size_t outstanding = 0;
    KEVENT idle{};  // set while no request of the file is outstanding
};

struct ApplicationRequest {
    Application* app = nullptr;
    ApplicationFile* file = nullptr;
    PDEVICE_OBJECT target = nullptr;  // the top of the device's stack
    PIRP irp = nullptr;               // null once freed
    std::string what;                 // the call and the name, for reports
    KEVENT done{};
    std::mutex mutex;
    bool completed = false;
    int cancelling = 0;
    IoResult result;
    std::vector<UCHAR> userBuffer;    // the caller's output, or its input with neither I/O
    std::vector<UCHAR> inputBuffer;   // device control with neither I/O
    ULONG outputLength = 0;
    const UCHAR* output = nullptr;  // where the returned bytes are read at completion
};

namespace {

// The buffers of a read, write or device-control request, as the I/O manager sets them up.
void SetBuffers(ApplicationRequest& request, const std::vector<UCHAR>& input, ULONG inputLength,
                ULONG outputLength, bool buffered)
{
    if (input.size() < inputLength) {
        ReportViolation(Rule::BufferShorterThanRequest,
                        request.what + " states " + std::to_string(inputLength) +
                            " bytes for a buffer of " + std::to_string(input.size()) + ".");
    }
    PIRP irp = request.irp;
    request.outputLength = outputLength;
    request.userBuffer.assign(outputLength, 0);
    if (buffered) {
        irp->Flags |= IRP_BUFFERED_IO;
        ULONG length = std::max(inputLength, outputLength);
        auto* buffer = static_cast<UCHAR*>(
            length == 0 ? nullptr : Kernel::Current().io.AllocateSystemBuffer(irp, length));
        std::copy_n(input.begin(), inputLength, buffer);
        if (outputLength != 0) {
            irp->Flags |= IRP_INPUT_OPERATION;
            request.output = buffer;
        }
    } else {
        request.inputBuffer.assign(input.begin(), input.begin() + inputLength);
        if (outputLength != 0) request.output = request.userBuffer.data();
    }
    irp->UserBuffer = outputLength != 0 ? request.userBuffer.data() : nullptr;
}

bool BufferedIo(PDEVICE_OBJECT target, const std::string& what)
{
    if ((target->Flags & DO_DIRECT_IO) != 0) {
        ReportViolation(Rule::NotEmulated, what + ": direct I/O (MDLs).");
    }
    return (target->Flags & DO_BUFFERED_IO) != 0;
}

std::u16string ObjectName(const std::u16string& name)
{
    if (name.rfind(u"\\\\.\\", 0) == 0) return u"\\??\\" + name.substr(4);
    if (name.empty() || name[0] != u'\\') return u"\\??\\" + name;
    return name;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Outstanding requests
// ---------------------------------------------------------------------------------------------
bool OutstandingRequest::Completed() const
{
    HostLockGuard guard(request_->mutex);
    return request_->completed;
}

IoResult OutstandingRequest::Wait()
{
    WaitOn(&request_->done.Header, kForever, "application: " + request_->what);
    HostLockGuard guard(request_->mutex);
    return request_->result;
}

BOOLEAN OutstandingRequest::Cancel()
{
    PIRP irp;
    {
        HostLockGuard guard(request_->mutex);
        if (request_->completed) return FALSE;
        request_->cancelling++;
        irp = request_->irp;
    }
    DriverContext system(nullptr);
    BOOLEAN cancelled = IoCancelIrp(irp);
    bool free;
    {
        HostLockGuard guard(request_->mutex);
        request_->cancelling--;
        free = request_->completed && request_->cancelling == 0 && request_->irp != nullptr;
        if (free) request_->irp = nullptr;
    }
    if (free) IoFreeIrp(irp);
    return cancelled;
}

// ---------------------------------------------------------------------------------------------
// The application
// ---------------------------------------------------------------------------------------------
Application::Application() = default;
Application::~Application() = default;

size_t Application::OutstandingCount() const
{
    HostLockGuard guard(mutex_);
    return outstanding_.size();
}

size_t Application::OpenHandleCount(PDEVICE_OBJECT physicalDevice) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    size_t count = 0;
    for (const auto& [handle, file] : files_) {
        count += file->held && StackBottom(file->device) == physicalDevice;
    }
    return count;
}

std::vector<Handle> Application::OpenHandles() const
{
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<Handle> handles;
    for (const auto& [handle, file] : files_) {
        if (file->open) handles.push_back(handle);
    }
    return handles;
}

PDEVICE_OBJECT Application::DeviceOf(Handle handle) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = files_.find(handle);
    return it == files_.end() ? nullptr : it->second->device;
}

void Application::Abandon(Handle handle)
{
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = files_.find(handle);
    if (it != files_.end()) {
        it->second->open = false;
        it->second->held = false;
    }
}

ApplicationFile& Application::Require(Handle handle, const char* call)
{
    ApplicationFile* file;
    {
        HostLockGuard guard(mutex_);
        auto it = files_.find(handle);
        if (it == files_.end() || !it->second->open) {
            ReportViolation(Rule::HandleNotOpen,
                            std::string(call) + " on handle " + Hex(handle) +
                                (it == files_.end()
                                     ? ", which was never opened."
                                     : " (" + Narrow(it->second->name) + "), which was closed."));
        }
        file = it->second.get();
    }
    // Windows keeps a deleted device object for the file objects that refer to it; the host
    // frees it at once, so a request through such a handle is reported rather than sent.
    if (!Kernel::Current().objects.DeviceExists(file->device)) {
        ReportViolation(Rule::NotEmulated,
                        std::string(call) + " on handle " + Hex(handle) + " (" +
                            Narrow(file->name) +
                            "), whose device object was deleted while the handle was open: its "
                            "driver agreed to a removal with the handle open.");
    }
    return *file;
}

std::shared_ptr<ApplicationRequest> Application::NewRequest(ApplicationFile& file, UCHAR major,
                                                            const char* call)
{
    auto request = std::make_shared<ApplicationRequest>();
    request->app = this;
    request->file = &file;
    request->what = std::string(call) + " on " + Narrow(file.name);
    request->target = IoGetAttachedDevice(file.device);
    KeInitializeEvent(&request->done, NotificationEvent, FALSE);
    DriverContext system(nullptr);
    PIRP irp =
        Kernel::Current().io.AllocateIrp(request->target->StackSize, IoManager::IrpKind::Driver,
                                         CallSite{"", 0, "application"}, false);
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = &file.object;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->FileObject = &file.object;
    IoSetCompletionRoutine(irp, RequestDone, request.get(), TRUE, TRUE, TRUE);
    request->irp = irp;
    return request;
}

// The calling thread sends the request, as the Win32 call would.
OutstandingRequest Application::Send(const std::shared_ptr<ApplicationRequest>& request)
{
    {
        HostLockGuard guard(mutex_);
        outstanding_[request.get()] = request;
        if (request->file->outstanding++ == 0) KeResetEvent(&request->file->idle);
    }
    DriverContext system(nullptr);
    IofCallDriver(request->target, request->irp);
    return OutstandingRequest(request);
}

NTSTATUS Application::RequestDone(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto* request = static_cast<ApplicationRequest*>(context);
    bool free;
    {
        HostLockGuard guard(request->mutex);
        IoResult& result = request->result;
        result.status = irp->IoStatus.Status;
        result.information = irp->IoStatus.Information;
        if (request->output != nullptr && !NT_ERROR(result.status)) {
            if (result.information > request->outputLength) {
                ReportViolation(
                    Rule::IrpInformationExceedsBuffer,
                    request->what + " with a buffer of " + std::to_string(request->outputLength) +
                        " bytes was completed with Information " +
                        std::to_string(result.information) + " (IRP " + Hex(irp) + ").");
            }
            result.output.assign(request->output, request->output + result.information);
        }
        request->completed = true;
        free = request->cancelling == 0;
        if (free) request->irp = nullptr;
    }
    if (free) IoFreeIrp(irp);
    std::shared_ptr<ApplicationRequest> keep;
    {
        Application& app = *request->app;
        HostLockGuard guard(app.mutex_);
        auto it = app.outstanding_.find(request);
        keep = std::move(it->second);
        app.outstanding_.erase(it);
        if (--request->file->outstanding == 0) KeSetEvent(&request->file->idle, 0, FALSE);
    }
    KeSetEvent(&request->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

OpenResult Application::Open(const std::u16string& name, ULONG createOptions)
{
    std::u16string path = ObjectName(name);
    PDEVICE_OBJECT device = Kernel::Current().objects.FindDevice(path);
    if (device == nullptr) return OpenResult{STATUS_OBJECT_NAME_NOT_FOUND, nullptr};
    auto created = std::make_unique<ApplicationFile>();
    ApplicationFile& file = *created;
    file.name = path;
    file.device = device;
    file.object.Type = IO_TYPE_FILE;
    file.object.Size = sizeof(FILE_OBJECT);
    file.object.DeviceObject = device;
    file.object.ReadAccess = file.object.WriteAccess = TRUE;
    KeInitializeEvent(&file.object.Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&file.object.Event, NotificationEvent, FALSE);
    KeInitializeEvent(&file.idle, NotificationEvent, TRUE);
    // The file object refers to the device from the moment its create is sent, as in Windows:
    // a removal that waits for the device's handles waits for this create too.
    {
        HostLockGuard guard(mutex_);
        file.held = true;
        files_[&file.object] = std::move(created);
    }
    auto request = NewRequest(file, IRP_MJ_CREATE, "CreateFile");
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(request->irp);
    stack->Parameters.Create.Options = (ULONG(FILE_OPEN) << 24) | (createOptions & 0x00FFFFFF);
    stack->Parameters.Create.ShareAccess = 0;
    request->irp->Flags |= IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API;
    IoResult result = Send(request).Wait();
    if (!NT_SUCCESS(result.status)) {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            file.held = false;
        }
        Kernel::Current().pnp->HandleClosed(file.device);
        return OpenResult{result.status, nullptr};
    }
    HostLockGuard guard(mutex_);
    file.open = true;
    return OpenResult{result.status, &file.object};
}

NTSTATUS Application::Close(Handle handle)
{
    ApplicationFile& file = Require(handle, "CloseHandle");
    {
        HostLockGuard guard(mutex_);
        file.open = false;
    }
    auto cleanup = NewRequest(file, IRP_MJ_CLEANUP, "CloseHandle (cleanup)");
    cleanup->irp->Flags |= IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API;
    Send(cleanup).Wait();
    // The file object's last reference goes with its last request.
    WaitOn(&file.idle.Header, kForever,
           "application: CloseHandle on " + Narrow(file.name) +
               " waits for the handle's outstanding requests");
    auto close = NewRequest(file, IRP_MJ_CLOSE, "CloseHandle (close)");
    close->irp->Flags |= IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API;
    NTSTATUS status = Send(close).Wait().status;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        file.held = false;
    }
    Kernel::Current().pnp->HandleClosed(file.device);
    return status;
}

OutstandingRequest Application::StartRead(Handle handle, ULONG length)
{
    auto request = NewRequest(Require(handle, "ReadFile"), IRP_MJ_READ, "ReadFile");
    PIRP irp = request->irp;
    IoGetNextIrpStackLocation(irp)->Parameters.Read.Length = length;
    SetBuffers(*request, {}, 0, length, BufferedIo(request->target, request->what));
    irp->Flags |= IRP_READ_OPERATION;
    return Send(request);
}

OutstandingRequest Application::StartWrite(Handle handle, const std::vector<UCHAR>& bytes,
                                           std::optional<ULONG> length)
{
    auto request = NewRequest(Require(handle, "WriteFile"), IRP_MJ_WRITE, "WriteFile");
    PIRP irp = request->irp;
    ULONG stated = length.value_or(ULONG(bytes.size()));
    IoGetNextIrpStackLocation(irp)->Parameters.Write.Length = stated;
    bool buffered = BufferedIo(request->target, request->what);
    SetBuffers(*request, bytes, stated, 0, buffered);
    if (!buffered) irp->UserBuffer = stated != 0 ? request->inputBuffer.data() : nullptr;
    irp->Flags |= IRP_WRITE_OPERATION;
    return Send(request);
}

OutstandingRequest Application::StartDeviceControl(Handle handle, ULONG code,
                                                   const std::vector<UCHAR>& input,
                                                   ULONG outputLength,
                                                   std::optional<ULONG> inputLength)
{
    auto request =
        NewRequest(Require(handle, "DeviceIoControl"), IRP_MJ_DEVICE_CONTROL, "DeviceIoControl");
    ULONG method = METHOD_FROM_CTL_CODE(code);
    if (method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) {
        ReportViolation(Rule::NotEmulated, request->what + ": direct I/O (MDLs).");
    }
    ULONG stated = inputLength.value_or(ULONG(input.size()));
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(request->irp);
    stack->Parameters.DeviceIoControl.IoControlCode = code;
    stack->Parameters.DeviceIoControl.InputBufferLength = stated;
    stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    SetBuffers(*request, input, stated, outputLength, method == METHOD_BUFFERED);
    if (method == METHOD_NEITHER && stated != 0) {
        stack->Parameters.DeviceIoControl.Type3InputBuffer = request->inputBuffer.data();
    }
    return Send(request);
}

IoResult Application::QueryInformation(Handle handle, FILE_INFORMATION_CLASS informationClass,
                                       ULONG length)
{
    auto request = NewRequest(Require(handle, "NtQueryInformationFile"), IRP_MJ_QUERY_INFORMATION,
                              "NtQueryInformationFile");
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(request->irp);
    stack->Parameters.QueryFile.Length = length;
    stack->Parameters.QueryFile.FileInformationClass = informationClass;
    SetBuffers(*request, {}, 0, length, true);
    return Send(request).Wait();
}

IoResult Application::Read(Handle handle, ULONG length) { return StartRead(handle, length).Wait(); }

IoResult Application::Write(Handle handle, const std::vector<UCHAR>& bytes,
                            std::optional<ULONG> length)
{
    return StartWrite(handle, bytes, length).Wait();
}

IoResult Application::DeviceControl(Handle handle, ULONG code, const std::vector<UCHAR>& input,
                                    ULONG outputLength, std::optional<ULONG> inputLength)
{
    return StartDeviceControl(handle, code, input, outputLength, inputLength).Wait();
}

}  // namespace host
