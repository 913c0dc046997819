#pragma once

#include <QSqlDatabase>
#include <QSqlError>
#include <optional>

namespace terval {

// The layout of journal.db this program writes. Each version is reached from the one before by one
// step of migrateJournal; a journal of an older layout is brought up to this one when it is opened.
inline constexpr int kJournalSchemaVersion = 3;

// Marks a file as the station's journal (PRAGMA application_id), so that another program's
// database put in its place is not taken for one.
inline constexpr int kJournalApplicationId = 0x54564A31;  // "TVJ1"

// The version a database holds: 0 for one without a version table (a new, empty file), nothing
// when it cannot be read, with the error in `error`.
std::optional<int> journalSchemaVersion(QSqlDatabase& db, QSqlError* error = nullptr);

// Brings the database from version `from` up to `to`, one step after the other, each step and its
// new version number in one transaction: a power cut between steps leaves a journal of the last
// finished version, never a layout between two. The error of the step that failed, if one did.
std::optional<QSqlError> migrateJournal(QSqlDatabase& db, int from, int to = kJournalSchemaVersion);

}  // namespace terval
