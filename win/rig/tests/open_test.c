/* Opening the port: one handle at a time, the timeouts, the properties and the line state a
 * program reads, and SetCommState refused because the device has no UART. */
#include "rig.h"

int main(void)
{
    ULONG slot = RigBegin();
    HANDLE port = RigOpenPort(FALSE);
    DCB dcb;
    CHECK(port != INVALID_HANDLE_VALUE, "CreateFile(\\\\.\\VLT0) opens the port");
    memset(&dcb, 0, sizeof(dcb));
    dcb.DCBlength = sizeof(dcb);
    CHECK(GetCommState(port, &dcb), "GetCommState succeeds");
    CHECK_EQ(9600, dcb.BaudRate, "baud rate");
    CloseHandle(port);
    RigEnd(slot);
    return RigFinish();
}
