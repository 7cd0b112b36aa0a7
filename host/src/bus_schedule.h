// The bus-time model of a timed USB bus: frames of a fixed length, each carrying at most a fixed
// number of bulk packets. Transfers are placed in order, packet by packet, from the frame that
// is current when they are ready; a transfer ends with the frame that carries its last packet.
#pragma once

#include "scheduler.h"
#include "usb_device.h"

namespace host {

class BusSchedule {
public:
    explicit BusSchedule(BusSpeed speed);

    Ticks frameLength() const { return frameLength_; }
    ULONG packetsPerFrame() const { return packetsPerFrame_; }
    USHORT packetSize() const { return packetSize_; }

    // Places `packets` packets (at least one: a zero-length packet is one) in the frames from
    // the one that holds `now`, after every packet placed before them, and returns the end of
    // the frame that carries the last one: the moment the transfer completes.
    Ticks Place(Ticks now, ULONG packets);

private:
    Ticks frameLength_;
    ULONG packetsPerFrame_;
    USHORT packetSize_;
    int64_t frame_ = -1;  // the last frame that carries packets
    ULONG used_ = 0;      // packets placed in it
};

}  // namespace host
