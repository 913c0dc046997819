#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <optional>

#include "historian/plant_message.h"

namespace terval {

// What one of the stations' messages means to the historian, read from its topic and payload
// alone: no database, no memory of earlier messages.
struct ParsedMessage {
    enum class Kind {
        Ignored,       // not a station's topic, or a payload that cannot be read (`error` says why)
        Nothing,       // a station's topic that carries nothing to keep (an emptied alarm)
        Status,        // status: online / offline
        Link,          // link
        RelayState,    // relay/<address>/state
        RelayRemoved,  // relay/<address>/state emptied
        Event,         // relay/<address>/event
        Alarm,         // alarm/<id>
        EventsDropped  // events_dropped, from a station that still drops events from memory
    };
    Kind kind = Kind::Ignored;
    QString error;
    QString station;  // the topic level after the prefix

    // Status
    bool online = false;
    // Link
    QString linkType, linkName, linkState, linkStatusText;
    // Relays: state, event, alarm
    int address = -1;
    std::optional<int> tile;
    std::optional<int> serial;
    QString generator, breaker;
    // State
    QString state;
    std::optional<int> insulationKohm, controlKohm, signalKohm, tripKohm;
    QDateTime lastAnswer;
    std::optional<qint64> goodAnswers, badAnswers;
    // Event and alarm: the station's journal record number and the previous event's
    std::optional<qint64> record;
    std::optional<qint64> previous;
    bool replayed = false;
    // Event
    QDateTime detectedAt;
    QString eventTime;  // the relay's clock as it reads, "yyyy-MM-ddTHH:mm:ss", no zone
    std::optional<int> signCode;
    QString signText, alarmLine;
    // Alarm (`address` -1 for the link's alarm)
    QString alarmId, alarmKind, priority, alarmState, change, text;
    std::optional<bool> shelved, suppressed;
    QDateTime raisedAt, returnedAt, acknowledgedAt, changedAt;
    // EventsDropped
    qint64 droppedEvents = 0;
};

// `prefix` is the topics' prefix without its trailing slash; it may contain slashes itself.
ParsedMessage parsePlantMessage(const PlantMessage& message, const QString& prefix);

// The stations' times: ISO 8601 with an offset or Z. Invalid for anything else.
QDateTime parsePlantTime(const QString& text);

}  // namespace terval
