#pragma once

#include <QDate>
#include <QLocale>
#include <QString>
#include <QTime>

namespace terval {

// The system's short date format as the operator knows it (dd.MM.yyyy on a Russian machine).
QString shortDateFormat(const QLocale& locale);
// The system's long time format without the time-zone part: the station shows plain local time.
QString longTimeFormat(const QLocale& locale);

// The main window's date display: the short date with every "." written as "/".
QString clockDateText(const QDate& date, const QLocale& locale);
QString clockTimeText(const QTime& time, const QLocale& locale);

}  // namespace terval
