// The line of the link (RTU or Modbus TCP, chosen when built) in every way it can go: the input's
// first two bytes seed the relays' registers, then a program of one-byte operations. A byte below
// 0x40 ticks the timer 1 to 4 times; 0x40 to 0x7F delivers the next (byte & 0x3F) + 1 bytes of the
// input as they are; 0x80 and above plays the relays (fuzz::playRelays): the relay asked answers
// rightly, late, from another address, broken, in pieces, refuses, or has a new event. Bytes may
// come before the first request is sent. After every step the station is checked (Station::check).
#include "station_fuzz.h"

#ifndef TERVAL_FUZZ_LINK
#error "build with -DTERVAL_FUZZ_LINK=<link type>"
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace terval;
    fuzz::ensureApplication();
    fuzz::Input in(data, size);
    fuzz::Station station(TERVAL_FUZZ_LINK, in.word());
    while (!in.empty()) {
        const uint8_t control = in.byte();
        if (control < 0x40) {
            for (int i = 0; i <= control % 4; ++i) {
                station.core.link.TimerTimer();
            }
        } else if (control < 0x80) {
            station.deliver(in.take((control & 0x3F) + 1u));
        } else {
            fuzz::playRelays(station, control, in);
        }
        station.check();
    }
    return 0;
}
