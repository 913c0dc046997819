#include "plant/plant_publisher.h"

#include "link/link_controller.h"
#include "plant/plant_payloads.h"
#include "station/clock.h"
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
                               const Clock& clock, MqttClient& client,
                               const MqttSettings& settings)
    : station_(station),
      link_(link),
      view_(view),
      clock_(clock),
      client_(client),
      settings_(settings) {}

PlantPublisher::~PlantPublisher() {
    stop();
}

void PlantPublisher::start() {
    if (started_) {
        return;
    }
    started_ = true;
    station_.journal.setFeed(this);
    client_.start(settings_);
    broker_ = client_.status();
    showBroker();
    // What every consumer should find at once; it goes out as soon as the broker is reached.
    queueState(settings_.topicRoot() + "status", "online");
    publishLink(true);
    publishStates(true);
}

void PlantPublisher::stop() {
    if (!started_) {
        return;
    }
    started_ = false;
    station_.journal.setFeed(nullptr);
    // The tiles' last word and any event still waiting go first, while there is room.
    publishStates(false);
    drain();
    client_.stop(MqttMessage{settings_.topicRoot() + "status", "offline", 1, true});
    view_.showBrokerState(QString(), false);
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
    if (reconnected) {
        // A broker that restarted may have lost what it retained, and the will has said
        // "offline": everything retained is said again.
        queueState(settings_.topicRoot() + "status", "online");
    }
    publishLink(reconnected);
    publishStates(reconnected);
    drain();
}

void PlantPublisher::recorded(const JournalEntry& entry) {
    if (!started_ || !entry.relay) {
        return;
    }
    if (const std::optional<QByteArray> payload = relayEventPayload(entry)) {
        queueEvent(MqttMessage{
            settings_.topicRoot() + "relay/" + QByteArray::number(entry.relay->number) + "/event",
            *payload, std::max(1, settings_.qos), false});
        drain();
    }
}

void PlantPublisher::insulationRead(int relay, uint16_t insulationKohm, uint16_t controlKohm) {
    if (relay < 1 || relay > station_.devices.DeviceCount) {
        return;
    }
    readings_[static_cast<size_t>(relay)] =
        Reading{station_.devices.entry(relay).Address, insulationKohm, controlKohm};
}

void PlantPublisher::publishStates(bool all) {
    const QDateTime now = clock_.now();
    const int count = station_.devices.DeviceCount;
    for (int n = 1; n <= count; ++n) {
        const DeviceEntry& e = station_.devices.entry(n);
        const TileModel& tile = station_.tile(n);
        RelayStateReport report;
        report.relay = n;
        report.address = e.Address;
        report.generator = e.GeneratorName;
        report.breaker = e.BreakerName;
        report.tileState = tile.state;
        const std::optional<Reading>& reading = readings_[static_cast<size_t>(n)];
        if (reading && reading->address == e.Address) {
            report.insulationKohm = reading->insulationKohm;
            report.controlKohm = reading->controlKohm;
        }
        // The key leaves out what moves with every answer; those ride along with the news and
        // the minute's refresh.
        const QByteArray key = relayStatePayload(report);
        report.lastAnswer = tile.lastAnswer;
        report.goodAnswers = e.GoodAnswers;
        report.badAnswers = e.BadAnswers;
        std::optional<Due>& due = relayState_[static_cast<size_t>(n)];
        const bool stale = !due || due->sentAt > now || due->sentAt.secsTo(now) >= kRefreshSeconds;
        if (all || stale || due->key != key) {
            queueState(settings_.topicRoot() + "relay/" + QByteArray::number(n) + "/state",
                       relayStatePayload(report));
            due = Due{key, now};
        }
    }
    // A relay deleted from the list: its retained state is taken back, so that no consumer goes
    // on showing it.
    for (int n = count + 1; n <= relaysPublished_; ++n) {
        queueState(settings_.topicRoot() + "relay/" + QByteArray::number(n) + "/state",
                   QByteArray());
        relayState_[static_cast<size_t>(n)].reset();
        readings_[static_cast<size_t>(n)].reset();
    }
    relaysPublished_ = count;
}

void PlantPublisher::publishLink(bool force) {
    const QByteArray payload =
        linkPayload(linkTypeWord(station_.connection.LinkType), link_.journalLinkName(),
                    linkStateWord(link_.state()), station_.statusText);
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

void PlantPublisher::drain() {
    if (client_.status().state != BrokerState::Connected) {
        return;
    }
    // What was lost is said before what is left, and outside the queue it was lost from.
    if (droppedSinceReport_ > 0) {
        if (!client_.send(MqttMessage{
                settings_.topicRoot() + "events_dropped",
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
    while (!stateOrder_.empty()) {
        const QByteArray topic = stateOrder_.front();
        const auto it = states_.find(topic);
        if (!client_.send(MqttMessage{topic, it->second, settings_.qos, true})) {
            return;
        }
        states_.erase(it);
        stateOrder_.pop_front();
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
