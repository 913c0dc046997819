#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <cstdint>
#include <optional>

#include "station/journal_entry.h"

namespace terval {

// The JSON the plant's consumers read (UTF-8, one object per message). Field names are part of
// the station's interface: a name keeps its meaning for ever, and new fields are only added.

// "no_answer", "event", "normal": a tile's state as a word.
QString tileStateWord(int tileState);

// "2026-12-07T18:22:01+03:00": the computer's time with its offset from UTC; null when invalid.
QString plantTimeText(const QDateTime& time);

// What one tile shows.
struct RelayStateReport {
    int relay = 0;         // its tile number, which moves when a relay before it is deleted
    uint16_t address = 0;  // its address on the line, the <address> of its topics
    std::optional<uint16_t> serial;  // status word 1 as last read; nothing before the first
    QString generator;
    QString breaker;
    int tileState = 0;
    std::optional<uint16_t> insulationKohm;
    std::optional<uint16_t> controlKohm;
    QDateTime lastAnswer;  // invalid while it never answered
    uint32_t goodAnswers = 0;
    uint32_t badAnswers = 0;
    // The relay's signal and trip setpoints as last read; nothing before the first reading.
    std::optional<uint16_t> signalKohm;
    std::optional<uint16_t> tripKohm;
};
QByteArray relayStatePayload(const RelayStateReport& report);

// Where a protection event stands in the station's journal: its record number and that of the
// protection event recorded before it (a consumer that lacks the one before knows it missed
// something), and whether it goes out again from the journal rather than as it was detected.
// Nothing of it for a station that keeps no journal.
struct EventNumbering {
    std::optional<qint64> record;
    std::optional<qint64> previous;
    bool replayed = false;
};

// A protection event as the journal recorded it, with the relay's serial number as last read;
// nothing for a record of another kind.
std::optional<QByteArray> relayEventPayload(const JournalEntry& entry,
                                            std::optional<uint16_t> serial = std::nullopt,
                                            const EventNumbering& numbering = {});

// An alarm's state after a transition the journal recorded, for its retained topic
// alarm/<id>: its tile (null for the link), kind, priority, state, shelf and suppression, when it
// was raised, returned and acknowledged, its text, and the journal record number of the
// transition (null when it has none); nothing for a record of another kind.
std::optional<QByteArray> alarmPayload(const JournalEntry& entry,
                                       std::optional<qint64> record = std::nullopt);

// The link: "rs232", "rs485" or "tcp"; the link as the journal names it; "closed", "connecting",
// "open" or "waiting"; the status line.
QByteArray linkPayload(const QString& type, const QString& link, const QString& state,
                       const QString& statusText);

// Events the station had to drop while the broker was away: how many, first and last drop.
QByteArray droppedEventsPayload(uint64_t count, const QDateTime& first, const QDateTime& last);

}  // namespace terval
