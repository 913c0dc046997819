#pragma once

#include <cstdint>
#include <deque>
#include <variant>
#include <vector>

#include "station/journal_entry.h"

namespace terval {

// What a good status answer tells besides the tile's value: the insulation and control
// resistances, the relay's serial number and its status word 19 (the five lamps).
struct StatusReading {
    uint16_t insulationKohm = 0;
    uint16_t controlKohm = 0;
    uint16_t serialNumber = 0;
    uint16_t statusWord = 0;
    // Status words 28 and 29, tenths of a volt.
    uint16_t excitationDeciVolt = 0;
    uint16_t injectedDeciVolt = 0;
    bool operator==(const StatusReading&) const = default;
};

// One that follows the station's records as they happen: the journal's writer, the plant's
// broker, and whoever joins them.
//
// The contract: both methods are called on the UI thread, by the poll and by the operator's
// handlers, and must return at once. A feed never waits on a socket or another thread; one that
// talks to a network queues what it is told and does the work on a thread of its own, and one
// that cannot keep up drops and counts rather than holding the station. The journal's writer is
// the one bounded exception: it waits its file's short busy timeout once per attempt, then keeps
// the records in memory until the file can be written.
class RecordFeed {
  public:
    virtual ~RecordFeed() = default;
    // A record as the station made it: stamped with its time, its id still 0.
    virtual void recorded(const JournalEntry& entry) = 0;
    // A good status answer, by the relay's number.
    virtual void statusRead(int relay, const StatusReading& reading) = 0;
    // The relay's two alarm levels (setpoint words 8 and 10) as the parameter window read them, by
    // the relay's number. Most feeds have no use for them.
    virtual void alarmLevelsRead(int relay, uint16_t signalKohm, uint16_t tripKohm) {
        (void)relay;
        (void)signalKohm;
        (void)tripKohm;
    }
};

// The station's stream of records and insulation readings, fanned out to its feeds. Every feed
// sees everything in the order it was recorded, the feeds one after the other in the order they
// joined. A feed may join or leave at any time, also from inside one of its own calls: one that
// leaves is told nothing more, one that joins is told from the next record on. A feed may record
// too (the alarms do, as the station's records move them): what it records is told to everyone
// once the record being told is done, so that no feed sees the second before the first.
class RecordStream {
  public:
    RecordStream() = default;
    RecordStream(const RecordStream&) = delete;
    RecordStream& operator=(const RecordStream&) = delete;

    // A feed already in the stream keeps its place.
    void addFeed(RecordFeed* feed);
    void removeFeed(RecordFeed* feed);
    bool hasFeed(const RecordFeed* feed) const;

    void recorded(const JournalEntry& entry);
    void statusRead(int relay, const StatusReading& reading);
    void alarmLevelsRead(int relay, uint16_t signalKohm, uint16_t tripKohm);

  private:
    struct Reading {
        int relay;
        StatusReading reading;
    };
    struct Levels {
        int relay;
        uint16_t signalKohm;
        uint16_t tripKohm;
    };
    using Told = std::variant<JournalEntry, Reading, Levels>;
    void tell(Told told);

    // A feed that leaves while the stream is telling is only blanked, and swept out afterwards,
    // so that the telling neither skips nor repeats anyone.
    std::vector<RecordFeed*> feeds_;
    // What was recorded while another was being told, in its order.
    std::deque<Told> waiting_;
    bool telling_ = false;
};

}  // namespace terval
