#pragma once

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <deque>
#include <map>
#include <optional>

#include "historian/plant_message.h"

namespace terval {

// What the plant's broker says now: every station that published, whether it is online (its
// status topic, its last will), its link, each relay's latest state and when it came, the alarms
// that are not back to normal, and the newest events. The web view's live pages are drawn from
// it. Memory stays bounded whatever the broker sends: at most kMaxStations stations, the relay
// addresses a Modbus line can have, kMaxAlarmsPerStation alarms and the kMaxEvents newest events;
// what does not fit is counted as ignored, like a payload that is not the stations' JSON.
class PlantLiveState final : public QObject, public PlantMessageSink {
    Q_OBJECT

  public:
    static constexpr int kMaxStations = 1000;
    static constexpr int kMaxAlarmsPerStation = 1024;
    static constexpr int kMaxEvents = 1000;
    static constexpr int kMaxAddress = 247;

    struct Relay {
        int address = 0;
        QJsonObject state;  // the state payload as published, names and values
        QDateTime receivedAt;
    };
    struct Station {
        QString prefix;
        QString name;
        std::optional<bool> online;
        QDateTime statusChangedAt;
        QJsonObject link;
        QDateTime linkChangedAt;
        QDateTime lastSeen;
        std::map<int, Relay> relays;
        std::map<QString, QJsonObject> alarms;  // by id, only those not back to normal
    };
    struct Event {
        qint64 sequence = 0;  // grows by one with each event taken, for the pages to follow
        QString station;      // its key
        QJsonObject payload;
        QDateTime receivedAt;
    };

    explicit PlantLiveState(QObject* parent = nullptr);

    void received(const PlantMessage& message) override;
    void brokerChanged(bool connected, const QString& reason) override;

    // "<prefix>/<station>", as the topics name it and the pages' links carry it.
    static QString stationKey(const QString& prefix, const QString& name) {
        return prefix + QLatin1Char('/') + name;
    }
    const Station* station(const QString& key) const;
    const std::map<QString, Station>& stations() const { return stations_; }
    const std::deque<Event>& events() const { return events_; }
    bool brokerConnected() const { return brokerConnected_; }
    QString brokerReason() const { return brokerReason_; }
    quint64 ignored() const { return ignored_; }

    // The pages' JSON: one station with its relays and alarms; an event with its station's key.
    static QJsonObject stationJson(const QString& key, const Station& station);
    static QJsonObject eventJson(const Event& event);

  signals:
    // A station's state, link, relays or alarms moved (the web view pushes it to the pages).
    void stationChanged(const QString& key);
    void eventAdded(qint64 sequence);
    void brokerStateChanged();

  private:
    Station* stationFor(const QString& prefix, const QString& name, const QDateTime& at);

    std::map<QString, Station> stations_;
    std::deque<Event> events_;
    qint64 nextSequence_ = 1;
    bool brokerConnected_ = false;
    QString brokerReason_;
    quint64 ignored_ = 0;
};

}  // namespace terval
