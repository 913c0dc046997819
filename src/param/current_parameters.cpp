#include "param/current_parameters.h"

#include "station/date_time_text.h"
#include "station/value_text.h"

namespace terval {
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

QString relayClockText(const RegisterWords& words, int computerYear) {
    return QStringLiteral("%1/%2/%3    %4:%5:%6")
        .arg(words[13])
        .arg(twoDigits(words[14]))
        .arg(computerYear, 4, 10, QLatin1Char('0'))
        .arg(words[11])
        .arg(twoDigits(words[10]), twoDigits(words[9]));
}

std::optional<QDateTime> relayClockValue(const RegisterWords& words, int computerYear) {
    const QDate date(computerYear, words[14], words[13]);
    if (!date.isValid() || words[11] > 23 || words[10] > 59 || words[9] > 59) {
        return std::nullopt;
    }
    return QDateTime(date, QTime(words[11], words[10], words[9]));
}

QString systemClockText(const QDateTime& now, const QLocale& locale) {
    return clockDateText(now.date(), locale) + QStringLiteral("   ") +
           clockTimeText(now.time(), locale);
}

CurrentParameters decodeCurrentParameters(const RegisterWords& w, const QDateTime& now,
                                          const QLocale& locale) {
    CurrentParameters p;
    p.identity = {{QStringLiteral("PanPar_1"), number(w[1])},
                  {QStringLiteral("PanPar_2"), manufactureDateText(w[2])},
                  {QStringLiteral("PanPar_5"), programVersionText(w[5])},
                  {QStringLiteral("PanPar_6"), programDateText(w[6])}};
    p.values = {
        {QStringLiteral("PanPar8"), number(w[8])},   {QStringLiteral("PanPar24"), tenths(w[24])},
        {QStringLiteral("PanPar25"), tenths(w[25])}, {QStringLiteral("PanPar26"), tenths(w[26])},
        {QStringLiteral("PanPar27"), number(w[27])}, {QStringLiteral("PanPar28"), tenths(w[28])},
        {QStringLiteral("PanPar29"), tenths(w[29])}, {QStringLiteral("PanPar30"), number(w[30])},
        {QStringLiteral("PanPar32"), number(w[32])}, {QStringLiteral("PanPar33"), number(w[33])},
        {QStringLiteral("PanPar34"), number(w[34])}};
    for (int bit = 0; bit < 5; ++bit) {
        p.status[static_cast<size_t>(bit)] = (w[19] >> bit & 1) != 0;
    }
    const int year = now.date().year();
    p.relayClock = relayClockText(w, year);
    p.systemClock = systemClockText(now, locale);
    p.pickers = relayClockValue(w, year);
    return p;
}

QList<PanelText> setpointPanelTexts(const RegisterWords& words) {
    QList<PanelText> panels;
    for (int n = 0; n < kSetpointWordsShown; ++n) {
        panels.append({QStringLiteral("PanUst%1").arg(n), number(words[static_cast<size_t>(n)])});
    }
    return panels;
}

}  // namespace terval
