#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

#include "station/journal_entry.h"

namespace terval {

// How a record is kept in a row of journal.db beyond its plain columns: the details of its kind as
// a small JSON object (readable with any SQLite tool, and a field added later is simply absent
// from older rows), the trip protocol record as 64 bytes, and the folded text the search looks in.

// Empty for a kind without details.
QByteArray encodeDetails(const JournalDetails& details);
// The details of the kind, with what the row holds; a field that is missing or unreadable keeps
// its default, so that a damaged row still shows its time, relay and text.
JournalDetails decodeDetails(JournalKind kind, const QByteArray& json, const QByteArray& record);

// The 32 words little-endian, as the device list stores numbers.
QByteArray encodeTripRecord(const TripRecord& record);
std::optional<TripRecord> decodeTripRecord(const QByteArray& bytes);

// The folded text, the relay's names and the names a device table edit changed, one per line.
QString searchColumn(const JournalEntry& entry);

}  // namespace terval
