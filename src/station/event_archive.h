#pragma once

#include <QString>
#include <optional>
#include <vector>

#include "station/journal_entry.h"

namespace terval {

// Protection events in the order they were recorded, each with the record number of the
// protection event recorded before it (0 when the journal holds none before it).
struct NumberedEvents {
    std::vector<JournalEntry> entries;
    std::vector<qint64> previous;
    // The newest record of any kind when they were read: fewer events than asked means none
    // after the last of them up to this one.
    qint64 newestRecord = 0;
    QString error;
};

// The station's records read back by number, as the plant's publisher needs them to send every
// protection event from the records rather than from memory. The journal in journal.db is one.
class EventArchive {
  public:
    virtual ~EventArchive() = default;
    // Records are taken: written, or held in memory until the file can be written again.
    virtual bool takesRecords() const = 0;
    // Records can be read.
    virtual bool isReadable() const = 0;
    // The record number the last record stored was given; nothing when it was held in memory,
    // refused or lost.
    virtual std::optional<qint64> lastAppendedId() const = 0;
    // Up to `limit` protection events recorded after record `afterId`, oldest first.
    virtual NumberedEvents protectionEventsAfter(qint64 afterId, int limit) = 0;
    // The record number of the newest protection event; 0 when there is none, nothing when the
    // records cannot be read.
    virtual std::optional<qint64> newestProtectionEvent() = 0;
    // A number kept beside the records under `name`: nothing when it was never stored or cannot
    // be read. Storing it never waits: it fails instead, to be tried again.
    virtual std::optional<qint64> mark(const QString& name) = 0;
    virtual bool storeMark(const QString& name, qint64 value) = 0;
};

}  // namespace terval
