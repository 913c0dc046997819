#pragma once

#include <QString>
#include <array>
#include <cstdint>

#include "station/poll_state.h"

namespace terval {

// When a stored protocol was made, as its record gives it (no year).
struct ProtocolStamp {
    int day = 0;
    int month = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;

    QString dateText() const;  // day unpadded, "/", month two digits: 5/03
    QString timeText() const;  // hour unpadded, minute and second two digits: 7:05:09
};
// Month in the low byte of word 0, day and hour in word 1, minute and second in word 2; the same
// layout in the trip and the insulation-change records.
ProtocolStamp protocolStamp(const RegisterWords& record);

// The trip protocol page as the record fills it.
struct TripProtocolPage {
    QString number;  // LabNumbProt
    ProtocolStamp stamp;
    QString date;  // LabDateProt
    QString time;  // LabTimeProt
    uint16_t signCode = 0;
    QString sign;  // LabelSign
    // PanProt3 to PanProt8, indexed by the record word.
    std::array<QString, 9> values;
    uint16_t statusWord = 0;
    std::array<bool, 5> status{};  // AbLEDProtStBit0 to AbLEDProtStBit4

    const QString& value(int word) const { return values.at(static_cast<size_t>(word)); }
};
TripProtocolPage decodeTripProtocol(const RegisterWords& record);

// The kind of change an insulation-change protocol records.
enum class InsulationChange { None, Decrease, Increase };
inline constexpr uint16_t kInsulationDecrease = 0xAAAA;
inline constexpr uint16_t kInsulationIncrease = 0x5555;

struct InsulationProtocolPage {
    QString number;   // LabPrRizNumb
    QString date;     // LabPrRizDate
    QString time;     // LabPrRizTime
    QString initial;  // PanPrRiz3
    QString final;    // PanPrRiz4
    InsulationChange kind = InsulationChange::None;
};
InsulationProtocolPage decodeInsulationProtocol(const RegisterWords& record);
// "Снижение изоляции" or "Повышение изоляции"; empty for no change.
QString insulationChangeText(InsulationChange kind);

// The protocol number a read request is for, from its first register: trip protocols 32 registers
// apart from 0x1000, insulation-change protocols 8 apart from 0x3000. 0 when it reads neither.
int tripProtocolOfRegister(uint16_t firstRegister);
int insulationProtocolOfRegister(uint16_t firstRegister);

}  // namespace terval
