#pragma once

#include <QByteArray>
#include <QString>
#include <QTimeZone>
#include <vector>

#include "devices/stored_file.h"
#include "journal/journal.h"

namespace terval {

// Records as a spreadsheet on a Russian machine opens them by a double click: UTF-8 with a byte
// order mark (without it the program takes the file for the local code page), ";" between fields
// (the list separator where "," is the decimal point), CRLF line ends, a field with ";", a quote
// or a line break in quotes with its quotes doubled, dates as dd.MM.yyyy HH:mm:ss in `zone`, and
// one header row.
// A field as the spreadsheet reads it back: in quotes, its quotes doubled, when it holds ";", a
// quote or a line break.
QString csvField(const QString& text);

QByteArray journalCsv(const std::vector<JournalEntry>& entries, const QTimeZone& zone);

// Writes every record of the filter, newest first, to `path`, as a whole or not at all: a failed
// export never leaves a half file, nor touches a file of that name already there. The Russian
// message to show, or nothing when the file was written.
FileError exportJournalCsv(Journal& journal, const JournalFilter& filter, const QString& path,
                           const QTimeZone& zone = QTimeZone::systemTimeZone(),
                           FileSteps& steps = systemFileSteps());

}  // namespace terval
