#include "station/date_time_text.h"

namespace terval {

QString shortDateFormat(const QLocale& locale) {
    return locale.dateFormat(QLocale::ShortFormat);
}

QString longTimeFormat(const QLocale& locale) {
    const QString format = locale.timeFormat(QLocale::LongFormat);
    QString result;
    bool quoted = false;
    for (QChar c : format) {
        if (c == QLatin1Char('\'')) {
            quoted = !quoted;
        }
        if (!quoted && c == QLatin1Char('t')) {
            continue;
        }
        result += c;
    }
    return result.trimmed();
}

QString clockDateText(const QDate& date, const QLocale& locale) {
    return locale.toString(date, shortDateFormat(locale))
        .replace(QLatin1Char('.'), QLatin1Char('/'));
}

QString clockTimeText(const QTime& time, const QLocale& locale) {
    return locale.toString(time, longTimeFormat(locale));
}

}  // namespace terval
