// Answers that match their requests but carry arbitrary words, in every poll state: the parameter
// window opened and closed on any relay, any page and protocol numbers, writes queued at any time,
// refusals and broken frames among them, and the relays of the line (fuzz::playRelays) answering
// from their own registers. The input is a program of one-byte operations after two bytes that
// seed the relays' registers. After every step the station is checked (Station::check).
#include "modbus/answer_match.h"
#include "station_fuzz.h"

namespace {

using namespace terval;

// The answer the request in flight asks for, with the fuzzer's words in it.
QByteArray answerTo(fuzz::Station& station, fuzz::Input& in, bool refuse) {
    const RequestFrame& request = station.core.station.request;
    QByteArray pdu;
    pdu.append(static_cast<char>(request.address()));
    if (refuse) {
        pdu.append(static_cast<char>(request.function() | 0x80));
        pdu.append(static_cast<char>(in.byte()));
    } else if (request.function() == kReadHoldingRegisters) {
        pdu.append(static_cast<char>(kReadHoldingRegisters));
        const int count = std::min<int>(request.countOrValue(), 125);
        pdu.append(static_cast<char>(2 * count));
        for (int i = 0; i < count; ++i) {
            const uint16_t w = in.word();
            pdu.append(static_cast<char>(w >> 8)).append(static_cast<char>(w & 0xFF));
        }
    } else {
        pdu.append(reinterpret_cast<const char*>(request.bytes.data()) + 1, 5);
    }
    return station.framed(pdu);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::ensureApplication();
    fuzz::Input in(data, size);
    fuzz::Station station(kLinkTcp, in.word());
    Scheduler& scheduler = station.core.scheduler;
    while (!in.empty()) {
        const uint8_t op = in.byte();
        if (op >= 0x80) {
            fuzz::playRelays(station, op, in);
            station.check();
            continue;
        }
        switch (op % 10) {
            case 0:
            case 1:
                station.core.link.TimerTimer();
                break;
            case 2:
            case 3:
                if (station.core.station.poll.awaitingAnswer()) {
                    station.deliver(answerTo(station, in, false));
                }
                break;
            case 4:
                if (station.core.station.poll.awaitingAnswer()) {
                    station.deliver(answerTo(station, in, true));
                }
                break;
            case 5:
                if (!station.core.station.poll.ParamWindowOpen()) {
                    station.core.main.NEWbmpClick(1 + in.byte() % 3);
                    scheduler.windowOpened();
                } else {
                    scheduler.windowClosed();
                }
                break;
            case 6:
                scheduler.pageChosen(static_cast<int>(in.byte() % 7) - 1);
                break;
            case 7:
                scheduler.tripProtocolChosen(static_cast<int8_t>(in.byte()));
                scheduler.insulationProtocolChosen(static_cast<int8_t>(in.byte()));
                break;
            case 8: {
                uint16_t values[8];
                const int count = 1 + in.byte() % 8;
                const uint16_t first = in.word();
                for (int i = 0; i < count; ++i) {
                    values[i] = in.word();
                }
                scheduler.queueWrite(first, values, count);
                break;
            }
            default:
                station.deliver(in.take(1 + in.byte() % 16));
                break;
        }
        station.check();
    }
    return 0;
}
