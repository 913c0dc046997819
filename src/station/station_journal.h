#pragma once

#include <QDateTime>
#include <QString>
#include <array>
#include <cstdint>
#include <optional>

#include "devices/device_table.h"
#include "station/journal_entry.h"
#include "station/journal_sink.h"
#include "station/record_stream.h"
#include "station/trend_sink.h"

namespace terval {

class Clock;

// What a write to a relay is, as the operator asked for it: kept with the write from its queueing
// until the relay has answered the last register, so that its record says what was meant.
struct WriteNote {
    int relay = 0;  // its number when the write was asked for
    // A setting: the panel's caption, the text it showed before and the text typed.
    QString caption;
    QString shownBefore;
    QString shownWritten;
    std::optional<uint16_t> valueBefore;  // the register as last read, if it was
    // A clock set: the time written, and the relay's clock minus the computer's as last read.
    bool clock = false;
    QDateTime clockSetTo;
    std::optional<qint64> clockOffsetMs;
};

// Why a write never went out, or went no further than it had come.
enum class WriteStop {
    WindowClosed,    // the parameter window closed before its turn came
    LinkClosed,      // the operator closed the link, or left the station
    LinkLost,        // the link failed or went
    StationStopped,  // the station stopped
    QueueFull,       // too many writes were already waiting
};
// The reason as the journal's lines and the operator's messages give it.
QString writeStopText(WriteStop why);
// What a write is to the operator, in the genitive after "запись": «caption» (регистр 0x0408),
// "часов защиты (регистры 0x0109–0x010F)", or "регистра 0x0408" when nothing names it.
QString writeSubjectText(const WriteNote& note, uint16_t firstRegister, int count);

// The journal's feed of the record stream: each record into journal.db, each insulation reading
// into its relay's trend under the relay's address. Without a sink it writes nothing.
class JournalWriter final : public RecordFeed {
  public:
    explicit JournalWriter(const DeviceTable& devices) : devices_(devices) {}

    // `clock` stamps the readings, as it does the records.
    void attach(JournalSink* sink, const Clock* clock, TrendSink* trend) {
        sink_ = sink;
        clock_ = clock;
        trend_ = trend;
    }
    bool isAttached() const { return sink_ != nullptr; }

    void recorded(const JournalEntry& entry) override;
    void statusRead(int relay, const StatusReading& reading) override;

  private:
    const DeviceTable& devices_;
    JournalSink* sink_ = nullptr;
    const Clock* clock_ = nullptr;
    TrendSink* trend_ = nullptr;
};

// The station's rules of what goes into the journal and in which words. The subsystems say what
// happened; this decides whether it is worth a record (a relay that never answered has not "gone
// silent", a connection made again by the reconnect rule is no news) and writes the line the
// operator reads. What it records goes out on its record stream, whose first feed is the
// journal's writer; without a sink nothing is written and nothing else changes.
class StationJournal {
  public:
    explicit StationJournal(const DeviceTable& devices);
    StationJournal(const StationJournal&) = delete;
    StationJournal& operator=(const StationJournal&) = delete;

    // Records go to `sink` from now on; `clock` times the silences and link losses, and the
    // insulation readings that go to `trend`.
    void attach(JournalSink* sink, const Clock* clock, TrendSink* trend = nullptr);
    bool isAttached() const { return writer_.isAttached(); }
    // Every record and insulation reading, in the order recorded: the plant's broker and the
    // others that follow the station join it here.
    RecordStream& records() { return records_; }

    // The relay as the device table names it now; nothing for a number not in the table.
    std::optional<JournalRelay> relay(int number) const;

    void stationStarted(const QString& version);
    void stationStopped();

    // A new protection event: the line the alarm log got, and the record it was found in.
    void protectionEvent(int relay, const QDateTime& relayTime, uint16_t signCode,
                         const QString& signText, const TripRecord& record,
                         const QString& alarmLine);
    // The relay's page of insulation-change protocols viewed while its event waited.
    void acknowledged(int relay);
    // An alarm line marked seen, or deleted; the relay it names when that is known.
    void alarmLineMarked(const QString& line, int relay);
    void alarmLineDeleted(const QString& line, int relay);
    void alarmLogCleared(int lineCount);
    // An alarm moved: the alarm as it stands after the move, what moved it and who did (for the
    // operator's actions), under its relay's number now, 0 for the link's.
    void alarmChanged(const AlarmDetails& details, int relay);

    // The link as the operator chose it ("RS-485 COM3", "Ethernet TCP/IP 10.0.0.5:502").
    void operatorConnect(const QString& link);
    void operatorDisconnect(const QString& link);
    // The link works: recorded as made, or as regained after a recorded loss. Made again while it
    // was never lost, it is not news.
    void linkUp(const QString& link);
    // The link the operator wants failed or went: recorded once until it is up again.
    void linkDown(const QString& link, const QString& reason);
    // The plant's broker ("10.0.0.5:1883") cannot be reached: recorded once until it is back.
    void brokerLost(const QString& broker, const QString& reason);
    // The broker reached: recorded only after a recorded loss, with how long it was away.
    void brokerReached(const QString& broker);
    // What the broker was not given, or did not confirm, when the station stopped: recorded each
    // time, whether or not a loss is.
    void brokerLeftUnsent(const QString& broker, const QString& reason);
    // A client of the station's Modbus server ("10.1.0.7:50312") taken, gone with why, or
    // turned away with why; the caller keeps refusals to a few a minute.
    void dcsClientConnected(const QString& client, const QString& note = {});
    void dcsClientLeft(const QString& client, const QString& reason);
    void dcsClientRefused(const QString& client, const QString& reason);
    // A relay that was answering has stopped; a relay that answers after being recorded silent.
    void relaySilent(int relay);
    void relayAnswered(int relay);

    // How a write ended; `registerNumber` and `valueWritten` are the first of the write. `why`,
    // when given, tells what ended a write that was not sent or not confirmed.
    void writeEnded(const WriteNote& note, uint16_t registerNumber, uint16_t valueWritten,
                    WriteOutcome outcome, uint8_t exceptionCode = 0,
                    std::optional<WriteStop> why = std::nullopt);
    // The relay's clock as the parameter window read it: recorded when it is more than a minute
    // off, and again only when it has drifted another minute or has been set since.
    void clockRead(int relay, qint64 offsetMs);

    // A good status answer, for the feeds: its insulation and control resistances are kept for
    // the relay's trend, under its address, as are the alarm levels of a setpoint block.
    void statusRead(int relay, const StatusReading& reading);
    void alarmLevelsRead(int relay, uint16_t signalKohm, uint16_t tripKohm);

    void deviceAdded(int relay);
    void deviceChanged(int relay, const DeviceNames& before);
    // Called before the relay leaves the table; the later relays move down one.
    void deviceDeleting(int relay);

  private:
    void append(JournalKind kind, const std::optional<JournalRelay>& relay, const QString& text,
                const JournalDetails& details = {});
    qint64 nowMs() const;
    void forgetSilences();

    const DeviceTable& devices_;
    const Clock* clock_ = nullptr;
    TrendSink* trend_ = nullptr;
    JournalWriter writer_;
    RecordStream records_;
    std::optional<qint64> brokerLostSinceMs_;

    bool linkWanted_ = false;
    bool linkRecordedUp_ = false;
    std::optional<qint64> linkDownSinceMs_;
    // Per relay number: since when it has been recorded silent, and the clock offset recorded.
    std::array<std::optional<qint64>, kMaxDevices + 1> silentSinceMs_{};
    std::array<std::optional<qint64>, kMaxDevices + 1> recordedOffsetMs_{};
};

// "1 ч 05 мин", "2 мин 30 с", "45 с", "3 сут 4 ч": a length of time as the journal's lines give it.
QString journalDurationText(qint64 ms);
// "−3 с", "0 с", "+75 с (1 мин 15 с)": a clock offset in whole seconds with its sign, and in
// minutes, hours or days as well from a minute on.
QString clockOffsetText(qint64 ms);

}  // namespace terval
