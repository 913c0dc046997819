#pragma once

#include <QDateTime>
#include <QDir>
#include <QString>
#include <QStringList>
#include <optional>

#include "station/clock.h"

namespace terval {

// "terval --export-journal FILE [--from DATE] [--to DATE]": the journal's records of that time,
// newest first, to a CSV file, without a window.
struct JournalExportRequest {
    QString file;
    QDateTime from;  // invalid: from the first record
    QDateTime to;    // before this moment; invalid: to the last record
};

// A date as an operator types it: "dd.MM.yyyy", "dd.MM.yyyy HH:mm", "dd.MM.yyyy HH:mm:ss" or the
// same in ISO form ("2026-12-07", "2026-12-07T14:30"). A date without a time is the start of that
// day, or with `endOfDay` the start of the next, so that "--to 07.12.2026" takes the whole day in.
std::optional<QDateTime> parseExportDate(const QString& text, bool endOfDay);

// What the command line asks for; the Russian message for the operator when it cannot be used.
struct JournalExportParse {
    std::optional<JournalExportRequest> request;
    QString error;
};
JournalExportParse journalExportRequest(const QString& file, const QString& from,
                                        const QString& to);

struct JournalExportResult {
    // 0 written; 1 the journal cannot be read or the file cannot be written; 2 the file is one of
    // the station's own, as a command line that cannot be used.
    int exitCode = 0;
    QString message;  // what happened, for standard output or standard error
};

// The name of the station's own file in `folder` that `target` is, by its name, a symbolic link
// or a second name of the same file (journal.db and its log, gen.dat, config.cfg, …); nothing when
// it is none of them. Whatever the operator saves must never replace one of these.
std::optional<QString> stationFileAt(const QDir& folder, const QString& target);
// Why a window must not save to `target`, in the operator's words; nothing when it may.
std::optional<QString> stationFileSaveRefusal(const QDir& folder, const QString& target);

// Reads journal.db in `folder` read-only, as another program beside a running station would, and
// writes the request's records to its file. Nothing of the folder changes: the journal is neither
// created, brought up to date, trimmed, renamed nor written, and a journal that is damaged, of
// another program, or of an older or a newer layout is refused with why. A file that is (by its
// name, a link or another name of it) one of the station's own is refused before anything is
// read. A regular file is replaced only once every byte has reached the disk; a device or a pipe
// (/dev/stdout) is written directly; every write error is a failure with its reason.
JournalExportResult exportJournal(const QDir& folder, const JournalExportRequest& request,
                                  const Clock& clock);

}  // namespace terval
