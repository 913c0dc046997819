#pragma once

#include <QString>
#include <deque>
#include <map>
#include <optional>
#include <vector>

#include "alarms/alarm_sound.h"
#include "alarms/alarm_transition.h"
#include "station/alarm.h"
#include "station/record_stream.h"

namespace terval {

class Clock;
class StationDisplay;
struct Station;

// Told whenever anything the alarm window, the status bar counter or the flood warning show has
// changed: an alarm moved, a shelf ran out, the sound was silenced.
class AlarmListener {
  public:
    virtual ~AlarmListener() = default;
    virtual void alarmsChanged() = 0;
};

// How the alarms sound, from terval.ini's [alarms] section.
struct AlarmSoundSettings {
    bool enabled = true;
    int volumePercent = 80;
};

// What the station's alarms are, kept from what the station already records and reads: a new
// protection event, status word 19's trip relay, signal relay and circuit break bits, a relay that
// stops answering, the link lost. Each alarm moves through the states of alarm management
// (unacknowledged, acknowledged, returned unacknowledged, normal); every move is a journal
// record (AlarmChanged), which is also how the alarms standing at a stop come back at the next
// start. While the link alarm is active the relays' "no answer" alarms are suppressed: recorded,
// not annunciated, so that a gateway outage is one alarm, not thirty-three.
//
// A protection event is also the tile's: while it is unacknowledged the tile shows the event
// state whenever the relay answers, through link losses and restarts, and acknowledging it here
// turns the tile back to answering, as viewing the relay's last protocol page does.
//
// Lives on the UI thread as one of the record stream's feeds; the station core owns it.
class AlarmBook final : public RecordFeed {
  public:
    // More raised than this in kFloodWindowSeconds is a flood.
    static constexpr int kFloodAlarms = 10;
    static constexpr int kFloodWindowSeconds = 600;
    // The shelf times the operator chooses from, in hours.
    static constexpr int kShelfHours[] = {1, 4, 8};

    AlarmBook(Station& station, StationDisplay& display, const Clock& clock);
    ~AlarmBook() override;
    AlarmBook(const AlarmBook&) = delete;
    AlarmBook& operator=(const AlarmBook&) = delete;

    void setListener(AlarmListener* listener);
    // Nothing, the default, makes no sound.
    void setSound(AlarmSound* sound);
    void setSoundSettings(const AlarmSoundSettings& settings);
    // The computer's user, named in the journal as who acknowledged or shelved.
    void setUser(const QString& user);

    // At start-up, once the journal is open: the alarms that were standing when the station last
    // stopped (the newest record of each, as the journal kept it). An unacknowledged protection
    // event marks its tile again. Each is recorded as restored, but one whose relay is no longer
    // in the list, which is recorded as removed; suppression holds only under a restored active
    // link alarm. What waits for acknowledgement sounds again.
    void restore(const std::vector<Alarm>& standing);
    // Once a second: shelves whose time has run out, the flood's window moving on.
    void secondPassed();

    // The operator's actions. False (and nothing recorded) for an alarm that is not there or not
    // in a state the action applies to.
    bool acknowledge(const QString& id);
    // Every unacknowledged one of `ids` (the rows the window shows); how many were.
    int acknowledgeAll(const std::vector<QString>& ids);
    // The sound stops until a new alarm is annunciated; nothing is acknowledged.
    void silence();
    // For 1, 4 or 8 hours with a reason typed in (not empty). A protection event cannot be shelved.
    bool shelve(const QString& id, int hours, const QString& reason);
    bool unshelve(const QString& id);

    // What the window shows: annunciated alarms that are active or unacknowledged, newest raised
    // first within each priority, high first.
    std::vector<Alarm> shown() const;
    // Shelved alarms, the soonest to come back first.
    std::vector<Alarm> shelvedAlarms() const;
    // Every alarm that is not normal, shelved and suppressed ones included.
    std::vector<Alarm> standing() const;
    std::optional<Alarm> find(const QString& id) const;
    // The counter "Неквитированных: N": annunciated alarms that wait for acknowledgement.
    int unacknowledgedCount() const;
    // "Лавина сигналов": more than kFloodAlarms raised in the last kFloodWindowSeconds.
    bool flood() const;
    // Whether the sound was silenced and no alarm that makes a sound (high or medium) has been
    // annunciated since: a low one, which is silent, does not bring the sound back.
    bool silenced() const { return silenced_; }
    // Whether relay `number`'s protection event waits for acknowledgement.
    bool eventWaiting(int number) const;

    // RecordFeed: the station's records and status answers move the alarms. A status answer also
    // returns its relay's "no answer": the journal forgets silences across link losses and
    // restarts, the relay's own answer does not lie.
    void recorded(const JournalEntry& entry) override;
    void statusRead(int relay, const StatusReading& reading) override;

  private:
    struct Key {
        AlarmKind kind;
        uint16_t address;
        auto operator<=>(const Key&) const = default;
    };
    Alarm* alarmOf(const QString& id);
    Alarm& alarmFor(AlarmKind kind, uint16_t address);
    // Moves the alarm as the rules say and records the move; false when the input did not apply.
    bool apply(Alarm& alarm, AlarmInput input, const QString& user = {});
    void raise(AlarmKind kind, uint16_t address, const QString& text);
    void clear(AlarmKind kind, uint16_t address);
    void linkLost(const QString& reason);
    void linkBack(bool operatorClosed);
    void removeRelay(uint16_t address);
    void record(const Alarm& alarm, AlarmChange change, const QString& user = {});
    // An alarm that calls the operator: counted for the flood, and sounded by its priority.
    void annunciate(const Alarm& alarm);
    void updateSound();
    // The relay's tile keeps (or no longer keeps) its protection event waiting.
    void markTile(uint16_t address, bool waiting);
    int relayNumber(uint16_t address) const;
    QString relayText(uint16_t address, AlarmKind kind) const;
    // The address of the relay whose status block is the request in flight, if it is listed.
    std::optional<uint16_t> statusAddress() const;
    bool linkAlarmActive() const;
    qint64 nowMs() const;
    void dropOldRaises();
    void changed();

    Station& station_;
    StationDisplay& display_;
    const Clock& clock_;
    AlarmListener* listener_ = nullptr;
    AlarmSound* sound_ = nullptr;
    AlarmSoundSettings soundSettings_;
    QString user_;
    std::map<Key, Alarm> alarms_;
    // When each of the last alarms was raised, for the flood.
    std::deque<qint64> raisedMs_;
    bool silenced_ = false;
    // The high alarms' sound was started over and over and not stopped since.
    bool highSounding_ = false;
    bool floodShown_ = false;
};

}  // namespace terval
