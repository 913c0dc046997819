// Arbitrary bytes from the line, in arbitrary pieces, between the scheduler's ticks: the framer of
// the link (RTU or Modbus TCP, chosen when built) and everything after it. A control byte below
// 0x40 ticks the timer 1 to 4 times; any other delivers the next (byte & 0x3F) + 1 bytes at once.
// Bytes may come before the first request is sent.
#include "station_fuzz.h"

#ifndef TERVAL_FUZZ_LINK
#error "build with -DTERVAL_FUZZ_LINK=<link type>"
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace terval;
    fuzz::ensureApplication();
    fuzz::Input in(data, size);
    fuzz::Station station(TERVAL_FUZZ_LINK);
    while (!in.empty()) {
        const uint8_t control = in.byte();
        if (control < 0x40) {
            for (int i = 0; i <= control % 4; ++i) {
                station.core.link.TimerTimer();
            }
        } else {
            station.deliver(in.take((control & 0x3F) + 1u));
        }
        station.check();
    }
    return 0;
}
