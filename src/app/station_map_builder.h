#pragma once

#include <QString>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "modbus/station_map.h"
#include "station/journal_entry.h"
#include "station/record_stream.h"
#include "station/trend_sink.h"

namespace terval {

class AlarmBook;
class Clock;
class LinkController;
struct Station;

// One protection event as the plant's control system is given it.
struct MapEvent {
    uint32_t sequence = 0;
    uint16_t tile = 0;
    uint16_t address = 0;
    uint16_t signCode = 0;
    qint64 relayTimeS = 0;  // the relay's clock read as local time; 0 when it gave none
    qint64 detectedMs = 0;  // the computer's time the station found it
    bool operator==(const MapEvent&) const = default;
};

// The last protection events with their numbers, which only grow for as long as the working
// folder keeps its file of them: the numbering cannot come from the journal, whose records are
// trimmed by age and which may not open at all, so the newest number and the events the queue
// holds are kept in a file of their own beside it, rewritten whenever an event has come. At
// start the file is read back, and the journal's newest protection events that the file does
// not have (found in the moment before a crash, or while the file could not be written) follow
// with the next numbers. Without a file (the first run, or one lost) the journal's newest events
// are numbered from 1: the newest number then falls below what a control system took before,
// which is how it can tell that the station's record was lost.
class MapEventQueue {
  public:
    static constexpr const char* kFileName = "modbus-events.txt";

    explicit MapEventQueue(QString filePath) : filePath_(std::move(filePath)) {}

    // Reads the file and adds the journal's newer events (given newest first, as the journal
    // reads them). What went wrong with the file, or an empty text.
    QString load(const std::vector<JournalEntry>& journalNewestFirst);
    // A protection event record takes the next number; anything else is ignored.
    void add(const JournalEntry& entry);
    // Writes the file when an event has come since it was last written. What went wrong, or an
    // empty text; the events stay in memory either way and are tried again next time.
    QString save();
    bool unsaved() const { return unsaved_; }

    uint32_t newest() const { return newest_; }
    const std::deque<MapEvent>& events() const { return events_; }

  private:
    void push(MapEvent event);

    QString filePath_;
    uint32_t newest_ = 0;
    std::deque<MapEvent> events_;  // oldest first, kEventSlots at most
    bool unsaved_ = false;
};

MapEvent mapEventOf(const JournalEntry& entry);

// What the station serves to the plant's control system, kept from the station's record stream
// and built into a register image on request: the station's state, one block per tile, and the
// event queue. A feed of the stream, so it is told on the UI thread and returns at once; the
// image is built there too and handed to the server's own thread by whoever owns both.
class StationMapBuilder final : public RecordFeed {
  public:
    // The alarm levels kept from an earlier run, by the relay's address; nothing when unknown.
    using StoredLevels = std::function<std::optional<AlarmLevels>(uint16_t address)>;

    StationMapBuilder(const Station& station, const LinkController& link, const AlarmBook& alarms,
                      const Clock& clock, MapEventQueue& events, StoredLevels storedLevels = {});

    // Once a second: the heartbeat goes up.
    void secondPassed() { ++heartbeat_; }
    // Whether an event has come since the last build(): worth handing over at once.
    bool eventsChanged() const { return eventsChanged_; }
    station_map::StationMapImage build();

    void recorded(const JournalEntry& entry) override;
    void statusRead(int relay, const StatusReading& reading) override;
    void alarmLevelsRead(int relay, uint16_t signalKohm, uint16_t tripKohm) override;

  private:
    struct Reading {
        StatusReading values;
        qint64 readAtMs = 0;
    };
    bool listed(uint16_t address) const;
    std::optional<AlarmLevels> levelsOf(uint16_t address);

    const Station& station_;
    const LinkController& link_;
    const AlarmBook& alarms_;
    const Clock& clock_;
    MapEventQueue& events_;
    StoredLevels storedLevels_;
    uint16_t heartbeat_ = 0;
    bool eventsChanged_ = false;
    // By the relay's address, which stays its own when the tiles move up.
    std::map<uint16_t, Reading> readings_;
    std::map<uint16_t, AlarmLevels> levels_;
    // Addresses whose stored levels were looked up once already.
    std::set<uint16_t> levelsLookedUp_;
};

}  // namespace terval
