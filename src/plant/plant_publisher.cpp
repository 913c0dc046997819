#include "plant/plant_publisher.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <vector>

#include "link/link_controller.h"
#include "modbus/register_map.h"
#include "plant/plant_payloads.h"
#include "station/clock.h"
#include "station/event_archive.h"
#include "station/main_view.h"
#include "station/station.h"

namespace terval {
namespace {

QString linkTypeWord(uint16_t linkType) {
    switch (linkType) {
        case kLinkRs232:
            return QStringLiteral("rs232");
        case kLinkRs485:
            return QStringLiteral("rs485");
        default:
            return QStringLiteral("tcp");
    }
}

QString linkStateWord(LinkState state) {
    switch (state) {
        case LinkState::Opening:
            return QStringLiteral("connecting");
        case LinkState::Open:
            return QStringLiteral("open");
        case LinkState::Waiting:
            return QStringLiteral("waiting");
        case LinkState::Closed:
            break;
    }
    return QStringLiteral("closed");
}

}  // namespace

PlantPublisher::PlantPublisher(Station& station, const LinkController& link, MainView& view,
                               const Clock& clock, MqttClient& client, const MqttSettings& settings,
                               EventArchive* journal)
    : station_(station),
      link_(link),
      view_(view),
      clock_(clock),
      client_(client),
      settings_(settings),
      journal_(journal) {}

PlantPublisher::~PlantPublisher() {
    stop();
}

void PlantPublisher::start() {
    if (started_) {
        return;
    }
    started_ = true;
    fromJournal_ = false;
    if (journal_ != nullptr && journal_->takesRecords() && journal_->isReadable()) {
        const std::optional<qint64> newest = journal_->newestProtectionEvent();
        if (newest) {
            const std::optional<qint64> stored = journal_->mark(kConfirmedMark);
            // Without a mark (the first start that keeps one) the events the journal holds went
            // out the old way already: only the later ones are sent. A mark beyond the newest
            // event is another file's (a damaged journal set aside and a new one begun).
            confirmed_ = stored && *stored <= *newest ? *stored : *newest;
            storedConfirmed_ = stored.value_or(-1);
            storedAt_ = QDateTime();
            handedTo_ = confirmed_;
            readTo_ = 0;
            unconfirmed_.clear();
            fromJournal_ = true;
            storeConfirmed(true);
        }
    }
    client_.start(settings_);
    broker_ = client_.status();
    showBroker();
    // What every consumer should find at once; it goes out as soon as the broker is reached,
    // after the client's "online".
    publishLink(true);
    publishStates(true);
}

void PlantPublisher::stop() {
    if (!started_) {
        return;
    }
    started_ = false;
    // The tiles' last word, the link closed with the station and any event still waiting go
    // before "offline", while there is room: a consumer must not find the link open retained
    // under a station that has stopped.
    publishStates(false);
    publishLink(false, true);
    drain();
    const MqttMessage offline{settings_.topicRoot() + "status", "offline", 1, true};
    // The client gives the broker less than a second; "offline" it could not send is the will's.
    const std::vector<MqttMessage> left = client_.stop(offline);
    if (fromJournal_) {
        // Events the broker did not confirm by now go out again at the next start.
        takeAcknowledged();
        storeConfirmed(true);
    }
    recordLeftUnsent(left, offline);
    view_.showBrokerState(QString(), false);
}

void PlantPublisher::recordLeftUnsent(const std::vector<MqttMessage>& left,
                                      const MqttMessage& last) {
    // Events already dropped and not yet told of are lost with the report that would have told.
    uint64_t events = events_.size() + droppedSinceReport_;
    uint64_t messages = events_.size() + stateOrder_.size();
    for (const MqttMessage& m : left) {
        if (m == last) {
            continue;
        }
        ++messages;
        if (m.topic.endsWith("/event")) {
            ++events;
        } else if (m.topic == settings_.topicRoot() + "events_dropped") {
            events += static_cast<uint64_t>(QJsonDocument::fromJson(m.payload)
                                                .object()[QStringLiteral("dropped_events")]
                                                .toInteger());
        }
    }
    if (messages == 0 && events == 0) {
        return;
    }
    station_.journal.brokerLeftUnsent(
        settings_.brokerName(),
        QStringLiteral("при остановке не переданы или не подтверждены сообщения: %1 (из них о "
                       "событиях защиты: %2)")
            .arg(messages)
            .arg(events));
    events_.clear();
    states_.clear();
    stateOrder_.clear();
    droppedSinceReport_ = 0;
}

void PlantPublisher::tick() {
    if (!started_) {
        return;
    }
    const BrokerStatus now = client_.status();
    const bool reconnected =
        now.state == BrokerState::Connected && now.connections != broker_.connections;
    const bool changed = now.state != broker_.state || now.reason != broker_.reason;
    broker_ = now;
    if (changed || reconnected) {
        showBroker();
    }
    if (now.state == BrokerState::Lost) {
        station_.journal.brokerLost(settings_.brokerName(), now.reason);
    } else if (now.state == BrokerState::Connected) {
        station_.journal.brokerReached(settings_.brokerName());
    }
    if (fromJournal_) {
        takeAcknowledged();
        if (reconnected) {
            // What the last connection was given and did not confirm may never have reached
            // the broker: every event after the confirmed one goes again, in record order.
            handedTo_ = confirmed_;
            readTo_ = 0;
            unconfirmed_.clear();
        }
        storeConfirmed(false);
    }
    // A broker that restarted may have lost what it retained: everything retained is said again,
    // after the "online" the client says first on every connection.
    publishLink(reconnected);
    publishStates(reconnected);
    if (reconnected) {
        for (const auto& [topic, payload] : alarms_) {
            queueState(topic, payload);
        }
    }
    drain();
}

void PlantPublisher::recorded(const JournalEntry& entry) {
    if (!started_) {
        return;
    }
    const std::optional<qint64> number = freshRecordNumber();
    if (const std::optional<QByteArray> payload = alarmPayload(entry, number)) {
        publishAlarm(std::get<AlarmDetails>(entry.details), *payload);
        return;
    }
    if (!entry.relay) {
        return;
    }
    // A relay leaving an address, deleted or given another: the address's topic and reading go
    // at once, so that a relay given the address before the next tick does not inherit them.
    if (const auto* change = std::get_if<DeviceChangeDetails>(&entry.details);
        change != nullptr && change->before &&
        (entry.kind == JournalKind::DeviceDeleted ||
         (entry.kind == JournalKind::DeviceChanged && change->after &&
          change->after->address != change->before->address))) {
        const uint16_t left = change->before->address;
        // Told before a deleted relay leaves the list: it is not counted.
        const int count = station_.devices.DeviceCount;
        bool kept = false;
        for (int n = 1; n <= count && !kept; ++n) {
            kept = n != entry.relay->number && station_.devices.entry(n).Address == left;
        }
        if (!kept) {
            forget(left);
        }
        return;
    }
    if (fromJournal_ && entry.kind == JournalKind::ProtectionEvent && journal_->takesRecords()) {
        // The journal's writer has it already (or holds it until the file takes it): it goes out
        // from there, at once when nothing older waits.
        drain(number);
        return;
    }
    const uint16_t address = entry.relay->address;
    const auto reading = readings_.find(address);
    const std::optional<uint16_t> serial =
        reading != readings_.end() ? std::optional<uint16_t>(reading->second.serial) : std::nullopt;
    if (const std::optional<QByteArray> payload = relayEventPayload(entry, serial)) {
        queueEvent(
            MqttMessage{relayTopic(address, "event"), *payload, std::max(1, settings_.qos), false});
        drain();
    }
}

void PlantPublisher::statusRead(int, const StatusReading& reading) {
    // Told while the status block that carried the reading is still the request in flight: the
    // relay that gave it is the one the request asked, whichever tile the poll has moved on to
    // since (a relay deleted while its request was in flight).
    const RequestFrame& request = station_.request;
    if (request.registerAddress() != registers::kStatusBlock ||
        request.countOrValue() != registers::kStatusCount) {
        return;
    }
    const uint16_t address = request.address();
    const DeviceTable& devices = station_.devices;
    bool listed = false;
    for (int n = 1; n <= devices.DeviceCount && !listed; ++n) {
        listed = devices.entry(n).Address == address;
    }
    if (!listed) {
        return;
    }
    readings_[address] = Reading{reading.insulationKohm, reading.controlKohm, reading.serialNumber};
}

void PlantPublisher::alarmLevelsRead(int relay, uint16_t signalKohm, uint16_t tripKohm) {
    if (relay < 1 || relay > station_.devices.DeviceCount) {
        return;
    }
    levels_[station_.devices.entry(relay).Address] = Levels{signalKohm, tripKohm};
}

std::optional<qint64> PlantPublisher::freshRecordNumber() {
    if (journal_ == nullptr) {
        return std::nullopt;
    }
    // The journal's writer appends each record before the stream tells the others; a number
    // seen before belongs to an earlier record, this one having reached no file.
    const std::optional<qint64> id = journal_->lastAppendedId();
    if (!id || *id <= lastRecordNumber_) {
        return std::nullopt;
    }
    lastRecordNumber_ = *id;
    return id;
}

QByteArray PlantPublisher::relayTopic(uint16_t address, const char* leaf) const {
    return settings_.topicRoot() + "relay/" + QByteArray::number(address) + '/' + leaf;
}

void PlantPublisher::publishStates(bool all) {
    const QDateTime now = clock_.now();
    const int count = station_.devices.DeviceCount;
    std::map<uint16_t, Due> published;
    for (int n = 1; n <= count; ++n) {
        const DeviceEntry& e = station_.devices.entry(n);
        if (published.count(e.Address) != 0) {
            // Two relays on one address (one just added, before the operator gives it its own):
            // the line cannot tell them apart either, and the first keeps the topic.
            continue;
        }
        const TileModel& tile = station_.tile(n);
        RelayStateReport report;
        report.relay = n;
        report.address = e.Address;
        report.generator = e.GeneratorName;
        report.breaker = e.BreakerName;
        report.tileState = tile.state;
        if (const auto reading = readings_.find(e.Address); reading != readings_.end()) {
            report.insulationKohm = reading->second.insulationKohm;
            report.controlKohm = reading->second.controlKohm;
            report.serial = reading->second.serial;
        }
        if (const auto levels = levels_.find(e.Address); levels != levels_.end()) {
            report.signalKohm = levels->second.signalKohm;
            report.tripKohm = levels->second.tripKohm;
        }
        // The key leaves out what moves with every answer; those ride along with the news and
        // the minute's refresh.
        const QByteArray key = relayStatePayload(report);
        report.lastAnswer = tile.lastAnswer;
        report.goodAnswers = e.GoodAnswers;
        report.badAnswers = e.BadAnswers;
        const auto was = relayState_.find(e.Address);
        const bool stale = was == relayState_.end() || was->second.sentAt > now ||
                           was->second.sentAt.secsTo(now) >= kRefreshSeconds;
        if (all || stale || was->second.key != key) {
            queueState(relayTopic(e.Address, "state"), relayStatePayload(report));
            published[e.Address] = Due{key, now};
        } else {
            published[e.Address] = was->second;
        }
    }
    // An address no relay of the list has any more, whether or not the journal told of it.
    std::vector<uint16_t> gone;
    for (const auto& [address, due] : relayState_) {
        if (published.count(address) == 0) {
            gone.push_back(address);
        }
    }
    for (const uint16_t address : gone) {
        forget(address);
    }
    relayState_ = std::move(published);
}

void PlantPublisher::publishAlarm(const AlarmDetails& details, const QByteArray& payload) {
    const QByteArray topic = settings_.topicRoot() + "alarm/" + alarmId(details.alarm).toUtf8();
    // An alarm that has gone with its relay is taken back from the broker, as its relay's state
    // is; every other keeps its newest state retained, normal included.
    if (details.change == AlarmChange::Removed) {
        alarms_.erase(topic);
        queueState(topic, QByteArray());
    } else {
        alarms_[topic] = payload;
        queueState(topic, payload);
    }
    drain();
}

void PlantPublisher::forget(uint16_t address) {
    // An empty retained message takes back what the broker keeps: no consumer goes on showing a
    // relay that has gone, nor takes a relay that later gets the address for it.
    if (relayState_.erase(address) != 0) {
        queueState(relayTopic(address, "state"), QByteArray());
    }
    readings_.erase(address);
    levels_.erase(address);
}

void PlantPublisher::publishLink(bool force, bool stopping) {
    // Stopping, the station lets the link go whatever its state this moment.
    const QByteArray payload =
        linkPayload(linkTypeWord(station_.connection.LinkType), link_.journalLinkName(),
                    stopping ? QStringLiteral("closed") : linkStateWord(link_.state()),
                    stopping ? QStringLiteral("Станция остановлена") : station_.statusText);
    if (force || payload != linkPayload_) {
        linkPayload_ = payload;
        queueState(settings_.topicRoot() + "link", payload);
    }
}

void PlantPublisher::queueState(const QByteArray& topic, const QByteArray& payload) {
    auto [it, added] = states_.insert_or_assign(topic, payload);
    if (added) {
        stateOrder_.push_back(topic);
    }
}

void PlantPublisher::queueEvent(const MqttMessage& message) {
    if (static_cast<int>(events_.size()) >= kEventsKept) {
        // The oldest goes: the newest tell more about the plant as it is now. Counted, and the
        // count published when the broker is back.
        events_.pop_front();
        const QDateTime now = clock_.now();
        if (droppedSinceReport_ == 0) {
            firstDropAt_ = now;
        }
        lastDropAt_ = now;
        ++droppedSinceReport_;
        ++droppedTotal_;
    }
    events_.push_back(message);
}

void PlantPublisher::drain(std::optional<qint64> liveEvent) {
    if (client_.status().state != BrokerState::Connected) {
        return;
    }
    // What was lost is said before what is left, and outside the queue it was lost from.
    if (droppedSinceReport_ > 0) {
        if (!client_.send(
                MqttMessage{settings_.topicRoot() + "events_dropped",
                            droppedEventsPayload(droppedSinceReport_, firstDropAt_, lastDropAt_),
                            std::max(1, settings_.qos), false})) {
            return;
        }
        droppedSinceReport_ = 0;
    }
    while (!events_.empty()) {
        if (!client_.send(events_.front())) {
            return;
        }
        events_.pop_front();
    }
    if (fromJournal_) {
        sendJournalEvents(liveEvent);
    }
    const QByteArray alarms = settings_.topicRoot() + "alarm/";
    while (!stateOrder_.empty()) {
        const QByteArray topic = stateOrder_.front();
        const auto it = states_.find(topic);
        // An alarm's every move goes with QoS 1 at least, so that a consumer's persistent
        // session is given each one while it is away, not only the newest.
        const int qos = topic.startsWith(alarms) ? std::max(1, settings_.qos) : settings_.qos;
        if (!client_.send(MqttMessage{topic, it->second, qos, true})) {
            return;
        }
        states_.erase(it);
        stateOrder_.pop_front();
    }
}

void PlantPublisher::sendJournalEvents(std::optional<qint64> liveEvent) {
    // Room is left for the states waiting, so that a long replay does not keep the tiles' news
    // from the broker; and no more is read from the journal than the hand-over takes now.
    int room = client_.capacity() - client_.pending() - static_cast<int>(stateOrder_.size());
    while (room > 0) {
        const int ask = std::min(room, kEventsRead);
        largestRead_ = std::max(largestRead_, ask);
        const NumberedEvents read =
            journal_->protectionEventsAfter(std::max(handedTo_, readTo_), ask);
        if (!read.error.isEmpty()) {
            // Tried again at the next tick; the journal has told the operator of its file.
            qWarning("plant: events could not be read from the journal: %s",
                     qPrintable(read.error));
            return;
        }
        for (size_t i = 0; i < read.entries.size(); ++i) {
            const JournalEntry& e = read.entries[i];
            const qint64 previous = read.previous[i];
            std::optional<QByteArray> payload;
            if (e.relay) {
                const auto reading = readings_.find(e.relay->address);
                payload = relayEventPayload(
                    e,
                    reading != readings_.end() ? std::optional<uint16_t>(reading->second.serial)
                                               : std::nullopt,
                    EventNumbering{e.id,
                                   previous > 0 ? std::optional<qint64>(previous) : std::nullopt,
                                   e.id != liveEvent});
            }
            if (!payload) {
                // Nothing a consumer could be told; it does not hold up the ones after it.
                handedTo_ = e.id;
                continue;
            }
            if (!client_.send(MqttMessage{relayTopic(e.relay->address, "event"), *payload,
                                          std::max(1, settings_.qos), false,
                                          static_cast<uint64_t>(e.id)})) {
                return;
            }
            unconfirmed_.insert(e.id);
            handedTo_ = e.id;
            --room;
        }
        if (static_cast<int>(read.entries.size()) < ask) {
            readTo_ = read.newestRecord;
            return;
        }
    }
}

void PlantPublisher::takeAcknowledged() {
    for (const uint64_t tag : client_.acknowledged()) {
        unconfirmed_.erase(static_cast<qint64>(tag));
    }
    // Events go out in record order, so everything handed over before the oldest one still
    // unconfirmed has been confirmed.
    const qint64 upTo = unconfirmed_.empty() ? handedTo_ : *unconfirmed_.begin() - 1;
    confirmed_ = std::max(confirmed_, upTo);
}

void PlantPublisher::storeConfirmed(bool now) {
    if (!fromJournal_ || confirmed_ == storedConfirmed_) {
        return;
    }
    // Once a second at most: a write per acknowledgement would cost more than the event.
    const QDateTime time = clock_.now();
    if (!now && storedAt_.isValid() && storedAt_ <= time && storedAt_.msecsTo(time) < 1000) {
        return;
    }
    if (journal_->storeMark(kConfirmedMark, confirmed_)) {
        storedConfirmed_ = confirmed_;
        storedAt_ = time;
    }
}

void PlantPublisher::showBroker() {
    const QString name = settings_.brokerName();
    switch (broker_.state) {
        case BrokerState::Connected:
            view_.showBrokerState(QStringLiteral("MQTT: ") + name, false);
            return;
        case BrokerState::Lost:
            // The client's reason says what went wrong in full ("нет связи с брокером: …",
            // "брокер отказал: …").
            view_.showBrokerState(QStringLiteral("MQTT %1: %2").arg(name, broker_.reason), true);
            return;
        case BrokerState::Connecting:
        case BrokerState::Off:
            view_.showBrokerState(QStringLiteral("MQTT: подключение к ") + name, false);
            return;
    }
}

}  // namespace terval
