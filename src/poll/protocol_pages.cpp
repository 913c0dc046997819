#include "poll/protocol_pages.h"

#include "poll/event_detection.h"
#include "station/value_text.h"

namespace terval {
namespace {

QString twoDigits(int n) {
    return QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0'));
}

constexpr uint16_t kTripProtocols = 0x1000;
constexpr uint16_t kTripProtocolSize = 32;
constexpr uint16_t kInsulationProtocols = 0x3000;
constexpr uint16_t kInsulationProtocolSize = 8;
constexpr int kProtocolCount = 64;

int protocolOfRegister(uint16_t reg, uint16_t base, uint16_t size) {
    if (reg < base || reg >= base + size * kProtocolCount || (reg - base) % size != 0) {
        return 0;
    }
    return (reg - base) / size + 1;
}

}  // namespace

QString ProtocolStamp::dateText() const {
    return QString::number(day) + QLatin1Char('/') + twoDigits(month);
}

QString ProtocolStamp::timeText() const {
    return QString::number(hour) + QLatin1Char(':') + twoDigits(minute) + QLatin1Char(':') +
           twoDigits(second);
}

ProtocolStamp protocolStamp(const RegisterWords& record) {
    ProtocolStamp s;
    s.month = record[0] & 0xFF;
    s.day = record[1] >> 8;
    s.hour = record[1] & 0xFF;
    s.minute = record[2] >> 8;
    s.second = record[2] & 0xFF;
    return s;
}

TripProtocolPage decodeTripProtocol(const RegisterWords& record) {
    TripProtocolPage page;
    page.number = QString::number(record[0] >> 8);
    page.stamp = protocolStamp(record);
    page.date = page.stamp.dateText();
    page.time = page.stamp.timeText();
    page.signCode = record[31];
    page.sign = signText(record[31]);
    for (int word : {3, 4, 5, 7, 8}) {
        page.values[static_cast<size_t>(word)] = ValueToText(record[static_cast<size_t>(word)], 1);
    }
    page.values[6] = QString::number(record[6]);
    page.statusWord = record[27];
    for (int bit = 0; bit < 5; ++bit) {
        page.status[static_cast<size_t>(bit)] = (record[27] >> bit & 1) != 0;
    }
    return page;
}

InsulationProtocolPage decodeInsulationProtocol(const RegisterWords& record) {
    InsulationProtocolPage page;
    page.number = QString::number(record[0] >> 8);
    const ProtocolStamp stamp = protocolStamp(record);
    page.date = stamp.dateText();
    page.time = stamp.timeText();
    page.initial = QString::number(record[3]);
    page.final = QString::number(record[4]);
    page.kind = record[5] == kInsulationDecrease   ? InsulationChange::Decrease
                : record[5] == kInsulationIncrease ? InsulationChange::Increase
                                                   : InsulationChange::None;
    return page;
}

QString insulationChangeText(InsulationChange kind) {
    switch (kind) {
        case InsulationChange::Decrease:
            return QStringLiteral("Снижение изоляции");
        case InsulationChange::Increase:
            return QStringLiteral("Повышение изоляции");
        case InsulationChange::None:
            break;
    }
    return {};
}

int tripProtocolOfRegister(uint16_t firstRegister) {
    return protocolOfRegister(firstRegister, kTripProtocols, kTripProtocolSize);
}

int insulationProtocolOfRegister(uint16_t firstRegister) {
    return protocolOfRegister(firstRegister, kInsulationProtocols, kInsulationProtocolSize);
}

}  // namespace terval
