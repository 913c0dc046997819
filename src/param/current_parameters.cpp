#include "param/current_parameters.h"

#include <cstdlib>

#include "modbus/register_map.h"
#include "param/param_controls.h"
#include "station/date_time_text.h"
#include "station/station_journal.h"
#include "station/value_text.h"

namespace terval {

using namespace param_controls;

namespace {

QString twoDigits(int n) {
    return QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0'));
}

QString number(uint16_t value) {
    return QString::number(value);
}

QString tenths(uint16_t value) {
    return ValueToText(value, 1);
}

}  // namespace

QString manufactureDateText(uint16_t word2) {
    return QStringLiteral("%1/%2").arg(word2 >> 12).arg(word2 & 0x0FFF);
}

QString programVersionText(uint16_t word5) {
    return QStringLiteral("%1.%2").arg(word5 >> 8).arg(word5 & 0xFF);
}

QString programDateText(uint16_t word6) {
    const int day = word6 >> 11;
    const int month = (word6 >> 7) & 0x0F;
    const int year = word6 & 0x7F;
    return QStringLiteral("%1/%2/20%3").arg(day).arg(twoDigits(month), twoDigits(year));
}

QString relayClockText(const RegisterWords& words, int computerYear, const QLocale& locale) {
    if (const std::optional<QDateTime> value = relayClockValue(words, computerYear)) {
        return clockLine(*value, locale);
    }
    using namespace registers::status;
    return QStringLiteral("%1.%2.%3   %4:%5:%6")
        .arg(twoDigits(words[kClockDay]), twoDigits(words[kClockMonth]))
        .arg(computerYear, 4, 10, QLatin1Char('0'))
        .arg(twoDigits(words[kClockHour]), twoDigits(words[kClockMinute]),
             twoDigits(words[kClockSecond]));
}

std::optional<QDateTime> relayClockValue(const RegisterWords& words, int computerYear) {
    using namespace registers::status;
    const QDate date(computerYear, words[kClockMonth], words[kClockDay]);
    const uint16_t hour = words[kClockHour];
    const uint16_t minute = words[kClockMinute];
    const uint16_t second = words[kClockSecond];
    if (!date.isValid() || hour > 23 || minute > 59 || second > 59) {
        return std::nullopt;
    }
    return QDateTime(date, QTime(hour, minute, second));
}

std::optional<qint64> relayClockOffsetMs(const RegisterWords& words, const QDateTime& now) {
    std::optional<qint64> nearest;
    for (int year = now.date().year() - 1; year <= now.date().year() + 1; ++year) {
        if (const std::optional<QDateTime> relay = relayClockValue(words, year)) {
            // The relay counts whole seconds: showing second S, its clock is somewhere in
            // [S, S + 1), and the middle of that is the best guess of where.
            const qint64 offset = now.msecsTo(*relay) + 500;
            if (!nearest || std::llabs(offset) < std::llabs(*nearest)) {
                nearest = offset;
            }
        }
    }
    return nearest;
}

QString clockOffsetLine(std::optional<qint64> offsetMs) {
    return offsetMs
               ? QStringLiteral("Расхождение с часами компьютера: ") + clockOffsetText(*offsetMs)
               : QString();
}

QString clockLine(const QDateTime& at, const QLocale& locale) {
    return locale.toString(at.date(), shortDateFormat(locale)) + QStringLiteral("   ") +
           locale.toString(at.time(), longTimeFormat(locale));
}

QString systemClockText(const QDateTime& now, const QLocale& locale) {
    return clockLine(now, locale);
}

CurrentParameters decodeCurrentParameters(const RegisterWords& w, const QDateTime& now,
                                          const QLocale& locale) {
    CurrentParameters p;
    using namespace registers::status;
    p.identity = {{identityPanel(kSerialNumber), number(w[kSerialNumber])},
                  {identityPanel(kManufactureDate), manufactureDateText(w[kManufactureDate])},
                  {identityPanel(kProgramVersion), programVersionText(w[kProgramVersion])},
                  {identityPanel(kProgramDate), programDateText(w[kProgramDate])}};
    for (int word :
         {kRunTime, kRemoteness, kAlpha1, kAlpha2, kInsulationResistance, kExcitationVoltage,
          kInjectedVoltage, kControlResistance, kFirstOffset, kFirstOffset + 1, kFirstOffset + 2}) {
        // Percentages and voltages come in tenths; resistances, minutes and offsets whole.
        const bool inTenths = word == kRemoteness || word == kAlpha1 || word == kAlpha2 ||
                              word == kExcitationVoltage || word == kInjectedVoltage;
        const uint16_t value = w[static_cast<size_t>(word)];
        p.values.append({currentPanel(word), inTenths ? tenths(value) : number(value)});
    }
    for (int bit = 0; bit < registers::kStatusBits; ++bit) {
        p.status[static_cast<size_t>(bit)] = (w[kStatusRegister] >> bit & 1) != 0;
    }
    const int year = now.date().year();
    p.relayClock = relayClockText(w, year, locale);
    p.systemClock = systemClockText(now, locale);
    p.pickers = relayClockValue(w, year);
    p.clockOffsetMs = relayClockOffsetMs(w, now);
    p.clockOffset = clockOffsetLine(p.clockOffsetMs);
    return p;
}

QList<PanelText> setpointPanelTexts(const RegisterWords& words) {
    QList<PanelText> panels;
    for (int n = 0; n < kSetpointWordsShown; ++n) {
        panels.append({setpointPanel(n), number(words[static_cast<size_t>(n)])});
    }
    return panels;
}

}  // namespace terval
