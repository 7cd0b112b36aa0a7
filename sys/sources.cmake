# The driver's sources, shared by the host build and the Windows build.
set(KDX_DRIVER_SOURCES
    driver/entry.cpp
    driver/io_count.cpp
    driver/request.cpp
    driver/add_device.cpp
    driver/start.cpp
    driver/port_name.cpp
    driver/pnp.cpp
    driver/teardown.cpp
    driver/power.cpp
    usb/sync_requests.cpp
    usb/bulk_transfer.cpp
    usb/recovery.cpp
    usb/receive_pump.cpp
    serial/port_state.cpp
    serial/open_close.cpp
    serial/device_control.cpp
    serial/minor_dispatch.cpp
    io/read.cpp
    io/write.cpp
    io/receive_buffer.cpp
    io/wait_mask.cpp
)
list(TRANSFORM KDX_DRIVER_SOURCES PREPEND "${CMAKE_CURRENT_LIST_DIR}/")

# Warnings are errors in both builds: the driver compiles clean with -Wall -Wextra.
set(KDX_DRIVER_WARNINGS -Wall -Wextra -Werror)
