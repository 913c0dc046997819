#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <deque>
#include <map>
#include <optional>
#include <set>

#include "devices/device_table.h"
#include "plant/mqtt_client.h"
#include "plant/mqtt_settings.h"
#include "station/journal_entry.h"
#include "station/record_stream.h"

namespace terval {

class Clock;
class EventArchive;
class LinkController;
class MainView;
struct Station;

// Tells the plant's broker what the station's screen shows: every relay's state (retained, on
// each change and at least once a minute), each new protection event (QoS 1, never retained),
// the alarms (QoS 1, retained) and the link; the client itself says that the station is online.
// A relay's topics are named by its address on the line, which stays its own when another relay
// is deleted and the tiles move up. Works on the UI thread, the client's owner, without ever
// waiting on the network: messages go to the client's own threads, stopping gives the broker less
// than a second, and while the broker is away the states are kept only as their newest.
//
// Events of a station that keeps a journal go out from the journal, in record order, each with
// its record number: the journal keeps the newest one the broker has confirmed, and after a
// restart of the station or a connection lost and made again, every event after it goes out
// again, marked replayed, read a hand-over's worth at a time. A consumer may see an event twice,
// never miss one. A station without a journal keeps its events in memory while the broker is
// away, up to a limit, the oldest dropped and counted.
//
// Its owner joins it to the station's record stream, after the journal's writer, before start()
// and takes it out before stop().
class PlantPublisher final : public RecordFeed {
  public:
    // Without a journal, at most this many events wait for a broker that is away; older ones are
    // dropped and counted.
    static constexpr int kEventsKept = 1000;
    // Events read from the journal at once, at most.
    static constexpr int kEventsRead = 64;
    // The journal's name for the newest event the broker confirmed.
    static inline const QString kConfirmedMark = QStringLiteral("plant_confirmed_event");
    // A relay's state goes out again after this long even when nothing changed.
    static constexpr int kRefreshSeconds = 60;

    // `journal` is the station's, already open, or nothing when it keeps none.
    PlantPublisher(Station& station, const LinkController& link, MainView& view, const Clock& clock,
                   MqttClient& client, const MqttSettings& settings,
                   EventArchive* journal = nullptr);
    ~PlantPublisher() override;

    // Connects; the status bar shows the broker.
    void start();
    // The link said closed, "offline" published and the connection closed cleanly, within a
    // second whatever the broker does; what the broker was not given by then, or did not
    // confirm, is counted in the journal. Called on the client's owner thread, as start() is.
    void stop();

    // Once a second and after anything the operator did: states that changed or are due, the
    // link, the broker's state on screen and in the journal, and what waits handed to the client.
    void tick();
    // RecordFeed: a protection event goes out at once; readings are kept for the states.
    void recorded(const JournalEntry& entry) override;
    void statusRead(int relay, const StatusReading& reading) override;
    void alarmLevelsRead(int relay, uint16_t signalKohm, uint16_t tripKohm) override;

    // What waits for the broker, for the tests and the status bar.
    int eventsWaiting() const { return static_cast<int>(events_.size()); }
    int statesWaiting() const { return static_cast<int>(stateOrder_.size()); }
    uint64_t eventsDropped() const { return droppedTotal_; }
    // Whether events go out from the journal (decided at start()); the newest event the broker
    // has confirmed, with every one before it; the most events asked of the journal at once.
    bool eventsFromJournal() const { return fromJournal_; }
    qint64 confirmedEvent() const { return confirmed_; }
    int largestEventRead() const { return largestRead_; }

  private:
    struct Due {
        QByteArray key;  // the state without its counters and time: a change of it is news
        QDateTime sentAt;
    };
    struct Reading {
        uint16_t insulationKohm = 0;
        uint16_t controlKohm = 0;
        uint16_t serial = 0;
    };
    struct Levels {
        uint16_t signalKohm = 0;
        uint16_t tripKohm = 0;
    };
    QByteArray relayTopic(uint16_t address, const char* leaf) const;
    void publishStates(bool all);
    void forget(uint16_t address);
    void publishLink(bool force, bool stopping = false);
    void publishAlarm(const AlarmDetails& details, const QByteArray& payload);
    void queueState(const QByteArray& topic, const QByteArray& payload);
    void queueEvent(const MqttMessage& message);
    void drain(std::optional<qint64> liveEvent = std::nullopt);
    void sendJournalEvents(std::optional<qint64> liveEvent);
    void takeAcknowledged();
    void storeConfirmed(bool now);
    std::optional<qint64> freshRecordNumber();
    void showBroker();
    void recordLeftUnsent(const std::vector<MqttMessage>& left, const MqttMessage& last);

    Station& station_;
    const LinkController& link_;
    MainView& view_;
    const Clock& clock_;
    MqttClient& client_;
    MqttSettings settings_;
    EventArchive* journal_;

    // Newest payload per retained topic not yet handed to the client, in first-queued order.
    std::deque<QByteArray> stateOrder_;
    std::map<QByteArray, QByteArray> states_;
    std::deque<MqttMessage> events_;
    uint64_t droppedSinceReport_ = 0;
    uint64_t droppedTotal_ = 0;
    QDateTime firstDropAt_;
    QDateTime lastDropAt_;

    // By the relay's address: what its state topic was last given, and when; its last reading.
    std::map<uint16_t, Due> relayState_;
    std::map<uint16_t, Reading> readings_;
    std::map<uint16_t, Levels> levels_;
    QByteArray linkPayload_;
    // By topic: each alarm's state as last published, given again to a broker reached anew.
    std::map<QByteArray, QByteArray> alarms_;
    BrokerStatus broker_;
    bool started_ = false;

    // Events from the journal: the newest confirmed with all before it, as stored and when; the
    // newest handed over since the last rewind, and those handed over and not yet confirmed.
    bool fromJournal_ = false;
    qint64 confirmed_ = 0;
    qint64 storedConfirmed_ = 0;
    QDateTime storedAt_;
    qint64 handedTo_ = 0;
    // No event waits in the journal from handedTo_ up to this record: the next read starts here,
    // not at the last event, however many records of other kinds came since.
    qint64 readTo_ = 0;
    std::set<qint64> unconfirmed_;
    qint64 lastRecordNumber_ = 0;
    int largestRead_ = 0;
};

}  // namespace terval
