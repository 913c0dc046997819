#include "plantweb/plant_live_state.h"

#include <QJsonDocument>
#include <QStringList>

namespace terval {

namespace {

enum class Kind { State, Event, Link, Status, Alarm, Other };

struct Topic {
    Kind kind = Kind::Other;
    QString prefix;
    QString station;
    int address = 0;
    QString alarmId;
};

// Topics are read from their end: a prefix may have levels of its own ("plant/hall1"), the
// station and what follows it never do. The station's own topics are tried before alarm/<id>,
// since no alarm is named "link" or "status" while a station may well be named "alarm".
std::optional<Topic> parseTopic(const QByteArray& raw) {
    const QStringList parts = QString::fromUtf8(raw).split(QLatin1Char('/'));
    const qsizetype n = parts.size();
    Topic topic;
    auto prefixOf = [&](qsizetype stationIndex) {
        return parts.mid(0, stationIndex).join(QLatin1Char('/'));
    };
    if (n >= 5 && parts[n - 3] == QLatin1String("relay") &&
        (parts[n - 1] == QLatin1String("state") || parts[n - 1] == QLatin1String("event"))) {
        bool ok = false;
        topic.address = parts[n - 2].toInt(&ok);
        if (!ok || topic.address < 0 || topic.address > PlantLiveState::kMaxAddress ||
            parts[n - 2] != QString::number(topic.address)) {
            return std::nullopt;
        }
        topic.kind = parts[n - 1] == QLatin1String("state") ? Kind::State : Kind::Event;
        topic.station = parts[n - 4];
        topic.prefix = prefixOf(n - 4);
    } else if (n >= 3 &&
               (parts[n - 1] == QLatin1String("link") || parts[n - 1] == QLatin1String("status") ||
                parts[n - 1] == QLatin1String("events_dropped"))) {
        topic.kind = parts[n - 1] == QLatin1String("link")     ? Kind::Link
                     : parts[n - 1] == QLatin1String("status") ? Kind::Status
                                                               : Kind::Other;
        topic.station = parts[n - 2];
        topic.prefix = prefixOf(n - 2);
    } else if (n >= 4 && parts[n - 2] == QLatin1String("alarm") && !parts[n - 1].isEmpty()) {
        topic.kind = Kind::Alarm;
        topic.alarmId = parts[n - 1];
        topic.station = parts[n - 3];
        topic.prefix = prefixOf(n - 3);
    } else {
        return std::nullopt;
    }
    if (topic.station.isEmpty() || topic.prefix.isEmpty()) {
        return std::nullopt;
    }
    return topic;
}

std::optional<QJsonObject> jsonObject(const QByteArray& payload) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(payload, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        return std::nullopt;
    }
    return document.object();
}

QString isoText(const QDateTime& at) {
    return at.isValid() ? at.toString(Qt::ISODateWithMs) : QString();
}

QJsonValue timeValue(const QDateTime& at) {
    return at.isValid() ? QJsonValue(isoText(at)) : QJsonValue(QJsonValue::Null);
}

}  // namespace

PlantLiveState::PlantLiveState(QObject* parent) : QObject(parent) {}

const PlantLiveState::Station* PlantLiveState::station(const QString& key) const {
    const auto found = stations_.find(key);
    return found == stations_.end() ? nullptr : &found->second;
}

PlantLiveState::Station* PlantLiveState::stationFor(const QString& prefix, const QString& name,
                                                    const QDateTime& at) {
    const QString key = stationKey(prefix, name);
    auto found = stations_.find(key);
    if (found == stations_.end()) {
        if (int(stations_.size()) >= kMaxStations) {
            return nullptr;
        }
        found = stations_.emplace(key, Station{}).first;
        found->second.prefix = prefix;
        found->second.name = name;
    }
    found->second.lastSeen = at;
    return &found->second;
}

void PlantLiveState::received(const PlantMessage& message) {
    const std::optional<Topic> topic = parseTopic(message.topic);
    if (!topic || topic->kind == Kind::Other) {
        ++ignored_;
        return;
    }
    const QDateTime at =
        message.receivedAt.isValid() ? message.receivedAt : QDateTime::currentDateTime();
    // An empty retained message takes back what the broker kept: a relay deleted, an alarm gone.
    const bool emptied = message.payload.isEmpty();
    std::optional<QJsonObject> object;
    if (topic->kind != Kind::Status && !emptied) {
        object = jsonObject(message.payload);
        if (!object) {
            ++ignored_;
            return;
        }
    }
    if (emptied && topic->kind != Kind::State && topic->kind != Kind::Alarm) {
        ++ignored_;
        return;
    }
    Station* target = stationFor(topic->prefix, topic->station, at);
    if (!target) {
        ++ignored_;
        return;
    }
    const QString key = stationKey(topic->prefix, topic->station);
    switch (topic->kind) {
        case Kind::State:
            if (emptied) {
                target->relays.erase(topic->address);
            } else {
                Relay& relay = target->relays[topic->address];
                relay.address = topic->address;
                relay.state = *object;
                relay.receivedAt = at;
            }
            break;
        case Kind::Event: {
            Event event;
            event.sequence = nextSequence_++;
            event.station = key;
            event.payload = *object;
            event.payload.insert(QStringLiteral("address"), topic->address);
            event.receivedAt = at;
            events_.push_back(std::move(event));
            while (int(events_.size()) > kMaxEvents) {
                events_.pop_front();
            }
            emit eventAdded(events_.back().sequence);
            return;
        }
        case Kind::Link:
            target->link = *object;
            target->linkChangedAt = at;
            break;
        case Kind::Status: {
            const QByteArray text = message.payload.trimmed();
            if (text != "online" && text != "offline") {
                ++ignored_;
                return;
            }
            target->online = text == "online";
            target->statusChangedAt = at;
            break;
        }
        case Kind::Alarm: {
            const bool normal = emptied || object->value(QStringLiteral("state")).toString() ==
                                               QLatin1String("normal");
            if (normal) {
                target->alarms.erase(topic->alarmId);
            } else if (target->alarms.count(topic->alarmId) ||
                       int(target->alarms.size()) < kMaxAlarmsPerStation) {
                QJsonObject alarm = *object;
                alarm.insert(QStringLiteral("id"), topic->alarmId);
                target->alarms[topic->alarmId] = alarm;
            } else {
                ++ignored_;
                return;
            }
            break;
        }
        case Kind::Other:
            break;
    }
    emit stationChanged(key);
}

void PlantLiveState::brokerChanged(bool connected, const QString& reason) {
    brokerConnected_ = connected;
    brokerReason_ = connected ? QString() : reason;
    emit brokerStateChanged();
}

QJsonObject PlantLiveState::stationJson(const QString& key, const Station& station) {
    QJsonObject json;
    json.insert(QStringLiteral("key"), key);
    json.insert(QStringLiteral("prefix"), station.prefix);
    json.insert(QStringLiteral("name"), station.name);
    json.insert(QStringLiteral("online"),
                station.online ? QJsonValue(*station.online) : QJsonValue(QJsonValue::Null));
    json.insert(QStringLiteral("status_changed_at"), timeValue(station.statusChangedAt));
    json.insert(QStringLiteral("link"),
                station.link.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(station.link));
    json.insert(QStringLiteral("link_changed_at"), timeValue(station.linkChangedAt));
    json.insert(QStringLiteral("last_seen"), timeValue(station.lastSeen));
    QJsonArray relays;
    for (const auto& [address, relay] : station.relays) {
        QJsonObject item = relay.state;
        item.insert(QStringLiteral("address"), address);
        item.insert(QStringLiteral("received_at"), timeValue(relay.receivedAt));
        relays.append(item);
    }
    json.insert(QStringLiteral("relays"), relays);
    QJsonArray alarms;
    for (const auto& [id, alarm] : station.alarms) {
        alarms.append(alarm);
    }
    json.insert(QStringLiteral("alarms"), alarms);
    return json;
}

QJsonObject PlantLiveState::eventJson(const Event& event) {
    QJsonObject json = event.payload;
    json.insert(QStringLiteral("sequence"), event.sequence);
    json.insert(QStringLiteral("station"), event.station);
    json.insert(QStringLiteral("received_at"), timeValue(event.receivedAt));
    return json;
}

}  // namespace terval
