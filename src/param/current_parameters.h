#pragma once

#include <QDateTime>
#include <QList>
#include <QLocale>
#include <QString>
#include <array>
#include <optional>

#include "station/poll_state.h"

namespace terval {

// A text for the control of that name.
struct PanelText {
    QString name;
    QString text;
    bool operator==(const PanelText&) const = default;
};

// Identification words of the current-parameter block.
QString manufactureDateText(uint16_t word2);  // month/year: 3/2008
QString programVersionText(uint16_t word5);   // high byte.low byte: 1.14
QString programDateText(uint16_t word6);      // day/month/20year: 9/04/2008

// The two clocks side by side are written alike, as the station writes every date and time: the
// system's short date, three blanks, its long time.
QString clockLine(const QDateTime& at, const QLocale& locale);
// The relay's clock line: its day, month, hour, minute and second with the computer's year (the
// relay's year register is not shown). A reading that is no real date or time is shown as the
// numbers received, dd.MM.yyyy   hh:mm:ss.
QString relayClockText(const RegisterWords& words, int computerYear, const QLocale& locale);
// The same reading as a date and time, for the pickers; nothing when it is not a real one.
std::optional<QDateTime> relayClockValue(const RegisterWords& words, int computerYear);
// The relay's clock minus the computer's `now`. The relay's date is taken in the year that puts it
// nearest to `now`, as its clock line does with the computer's year, so that a year's end between
// the two readings is not taken for a year's difference.
std::optional<qint64> relayClockOffsetMs(const RegisterWords& words, const QDateTime& now);
// "Расхождение с часами компьютера: +75 с", or nothing to show while the relay's clock is not a
// real date and time.
QString clockOffsetLine(std::optional<qint64> offsetMs);
// The computer's clock line.
QString systemClockText(const QDateTime& now, const QLocale& locale);

// Everything the current-parameter block of the selected relay puts on the window.
struct CurrentParameters {
    QList<PanelText> identity;  // PanPar_1, PanPar_2, PanPar_5, PanPar_6
    QList<PanelText> values;    // PanPar8, PanPar24 to PanPar30, PanPar32 to PanPar34
    std::array<bool, 5> status{};
    QString relayClock;   // LabelDTDefence
    QString systemClock;  // LabDTSys
    std::optional<QDateTime> pickers;
    std::optional<qint64> clockOffsetMs;
    QString clockOffset;  // LabClockOffset
};
CurrentParameters decodeCurrentParameters(const RegisterWords& words, const QDateTime& now,
                                          const QLocale& locale);

// Setpoint word N for the panel PanUstN, N from 0 to 48; whether such a panel exists is the
// window's business.
QList<PanelText> setpointPanelTexts(const RegisterWords& words);
inline constexpr int kSetpointWordsShown = 49;

}  // namespace terval
