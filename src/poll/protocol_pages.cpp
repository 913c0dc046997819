#include "poll/protocol_pages.h"

#include "modbus/register_map.h"
#include "poll/event_detection.h"
#include "station/value_text.h"

namespace terval {
namespace {

QString twoDigits(int n) {
    return QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0'));
}

using namespace registers;

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
    s.month = record[protocol::kNumberAndMonth] & 0xFF;
    s.day = record[protocol::kDayAndHour] >> 8;
    s.hour = record[protocol::kDayAndHour] & 0xFF;
    s.minute = record[protocol::kMinuteAndSecond] >> 8;
    s.second = record[protocol::kMinuteAndSecond] & 0xFF;
    return s;
}

TripProtocolPage decodeTripProtocol(const RegisterWords& record) {
    TripProtocolPage page;
    page.number = QString::number(record[protocol::kNumberAndMonth] >> 8);
    page.stamp = protocolStamp(record);
    page.date = page.stamp.dateText();
    page.time = page.stamp.timeText();
    page.signCode = record[trip::kSign];
    page.sign = signText(record[trip::kSign]);
    for (int word : {trip::kRemoteness, trip::kAlpha1, trip::kAlpha2, trip::kExcitationVoltage,
                     trip::kInjectedVoltage}) {
        page.values[static_cast<size_t>(word)] = ValueToText(record[static_cast<size_t>(word)], 1);
    }
    page.values[trip::kInsulationResistance] = QString::number(record[trip::kInsulationResistance]);
    page.statusWord = record[trip::kStatusRegister];
    for (int bit = 0; bit < kStatusBits; ++bit) {
        page.status[static_cast<size_t>(bit)] = (page.statusWord >> bit & 1) != 0;
    }
    return page;
}

InsulationProtocolPage decodeInsulationProtocol(const RegisterWords& record) {
    InsulationProtocolPage page;
    page.number = QString::number(record[protocol::kNumberAndMonth] >> 8);
    const ProtocolStamp stamp = protocolStamp(record);
    page.date = stamp.dateText();
    page.time = stamp.timeText();
    page.initial = QString::number(record[insulation::kInitial]);
    page.final = QString::number(record[insulation::kFinal]);
    const uint16_t kind = record[insulation::kKind];
    page.kind = kind == kInsulationDecrease   ? InsulationChange::Decrease
                : kind == kInsulationIncrease ? InsulationChange::Increase
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
