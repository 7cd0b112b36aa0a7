// The bus-time model (see bus_schedule.h).
#include "bus_schedule.h"

namespace host {

BusSchedule::BusSchedule(BusSpeed speed)
{
    if (speed == BusSpeed::High) {
        frameLength_ = 1250;  // a 125 us microframe
        packetsPerFrame_ = 13;
        packetSize_ = 512;
    } else {
        frameLength_ = kTicksPerMillisecond;
        packetsPerFrame_ = 19;
        packetSize_ = 64;
    }
}

Ticks BusSchedule::Place(Ticks now, ULONG packets)
{
    if (packets == 0) packets = 1;
    int64_t current = now / frameLength_;
    if (current > frame_) {
        frame_ = current;
        used_ = 0;
    }
    for (;;) {
        if (used_ == packetsPerFrame_) {
            frame_++;
            used_ = 0;
        }
        ULONG room = packetsPerFrame_ - used_;
        ULONG taken = packets < room ? packets : room;
        used_ += taken;
        packets -= taken;
        if (packets == 0) return (frame_ + 1) * frameLength_;
    }
}

}  // namespace host
