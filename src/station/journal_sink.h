#pragma once

#include <QString>
#include <optional>

#include "station/journal_entry.h"

namespace terval {

// Where the station's records go. The journal in journal.db implements it; a station without one
// records nothing. A sink that cannot write says so itself, once, and never stops the caller.
class JournalSink {
  public:
    virtual ~JournalSink() = default;
    // Stores the record stamped with the computer's time now.
    virtual bool append(JournalKind kind, const std::optional<JournalRelay>& relay,
                        const QString& text, const JournalDetails& details = {}) = 0;
};

}  // namespace terval
