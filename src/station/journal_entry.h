#pragma once

#include <QDateTime>
#include <QString>
#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <variant>

#include "modbus/register_map.h"
#include "station/alarm.h"

namespace terval {

// What a journal record is about. The numbers are stored in journal.db: a kind keeps its number
// for ever, and a new kind takes a new one (below 32, the width of JournalKinds).
enum class JournalKind : uint8_t {
    Unknown = 0,  // a number this program does not know, read from a journal of a newer one
    ProtectionEvent = 1,
    Acknowledgement = 2,
    AlarmLineMarked = 3,
    AlarmLineDeleted = 4,
    AlarmLogCleared = 5,
    OperatorConnect = 6,
    OperatorDisconnect = 7,
    LinkEstablished = 8,
    LinkLost = 9,
    LinkRestored = 10,
    RelaySilent = 11,
    RelayAnswering = 12,
    RelayWrite = 13,
    ClockSet = 14,
    ClockOffset = 15,
    DeviceAdded = 16,
    DeviceChanged = 17,
    DeviceDeleted = 18,
    StationStarted = 19,
    StationStopped = 20,
    BrokerLost = 21,
    BrokerRestored = 22,
    // Records and insulation readings dropped while the journal's file could not be written and
    // the memory holding them for it was full.
    RecordsLost = 23,
    // An alarm moved from one state to another: raised, returned, acknowledged, shelved.
    AlarmChanged = 24,
    // The plant's control system reading the station over Modbus TCP: a client taken, gone, or
    // turned away (at most once a minute).
    DcsClientConnected = 25,
    DcsClientLeft = 26,
    DcsClientRefused = 27,
};
inline constexpr int kLastJournalKind = 27;

// The kinds as the operator sorts them: the "Вид" of a record in the window and in an export.
enum class JournalGroup : uint8_t {
    Protection,
    Acknowledgement,
    Link,
    Write,
    Clock,
    Devices,
    Station,
    Alarm,
    Unknown,
};

// Which of JournalDetails a kind carries; the order is the variant's, checked where the table of
// kinds is.
enum class JournalDetailsShape : uint8_t {
    None,
    ProtectionEvent,
    AlarmLine,
    AlarmLogCleared,
    Link,
    Silence,
    Write,
    Clock,
    DeviceChange,
    Alarm,
};

// Everything the station decides by a record's kind, one row per kind: how the operator sorts it,
// what the window and an export call it, and which details it carries.
struct JournalKindRow {
    JournalKind kind;
    JournalGroup group;
    const char16_t* name;
    JournalDetailsShape details;
};

// The row of a kind; a number this program does not know has the row of Unknown.
const JournalKindRow& journalKindRow(JournalKind kind);

JournalKind journalKindFromCode(int code);
JournalGroup journalGroup(JournalKind kind);
QString journalGroupName(JournalGroup group);
QString journalKindName(JournalKind kind);

// A set of kinds, for the filters.
class JournalKinds {
  public:
    JournalKinds() = default;
    JournalKinds(std::initializer_list<JournalKind> kinds) {
        for (JournalKind k : kinds) {
            add(k);
        }
    }
    static JournalKinds ofGroup(JournalGroup group);
    static JournalKinds allKnown();

    void add(JournalKind k) { bits_ |= uint32_t{1} << static_cast<unsigned>(k); }
    void add(JournalKinds other) { bits_ |= other.bits_; }
    bool contains(JournalKind k) const { return (bits_ >> static_cast<unsigned>(k)) & 1u; }
    bool isEmpty() const { return bits_ == 0; }
    // Bit n stands for the kind numbered n.
    uint32_t bits() const { return bits_; }
    bool operator==(const JournalKinds&) const = default;

  private:
    uint32_t bits_ = 0;
};

// The relay a record is about, as the device table named it at the time.
struct JournalRelay {
    int number = 0;  // 1 to 32: its tile
    uint16_t address = 0;
    QString generator;
    QString breaker;
    bool operator==(const JournalRelay&) const = default;
};

// The whole trip protocol record as the relay gave it, so that its report can be made again.
using TripRecord = std::array<uint16_t, registers::kTripProtocolSize>;

struct ProtectionEventDetails {
    // The relay's own time of the event (its clock, which may differ from the computer's).
    QDateTime relayTime;
    uint16_t signCode = 0;
    QString signText;
    std::optional<TripRecord> record;
    bool operator==(const ProtectionEventDetails&) const = default;
};

// A line of the alarm log marked seen or deleted.
struct AlarmLineDetails {
    QString line;
    bool operator==(const AlarmLineDetails&) const = default;
};

// "Delete all" of the alarm log.
struct AlarmLogClearedDetails {
    int lineCount = 0;
    bool operator==(const AlarmLogClearedDetails&) const = default;
};

// The link as the operator chose it ("Ethernet TCP/IP 10.0.0.5:502", "RS-485 COM3"), why it was
// lost, and for a link regained how long it had been down.
struct LinkDetails {
    QString link;
    QString reason;
    std::optional<qint64> downForMs;
    bool operator==(const LinkDetails&) const = default;
};

// A relay that answers again after being silent.
struct SilenceDetails {
    qint64 silentForMs = 0;
    bool operator==(const SilenceDetails&) const = default;
};

enum class WriteOutcome : uint8_t {
    Echoed = 1,   // the relay echoed the register and value: written
    Refused = 2,  // a Modbus exception, its code in exceptionCode
    NoEcho = 3,   // no answer, or one that was not the echo
    NotSent = 4,  // dropped before it went out: the link went, or a newer write took its place
};

struct WriteDetails {
    uint16_t registerNumber = 0;
    QString caption;                      // the setpoint or setting as the window names it
    std::optional<uint16_t> valueBefore;  // nothing when it had not been read
    uint16_t valueWritten = 0;
    WriteOutcome outcome = WriteOutcome::Echoed;
    uint8_t exceptionCode = 0;
    bool operator==(const WriteDetails&) const = default;
};

// The relay's clock minus the computer's, before it was set (ClockSet) or when it was found too
// far off (ClockOffset). A clock set also keeps the time written and how the write ended; the
// offset is missing when the relay's clock had not been read before it was set.
struct ClockDetails {
    std::optional<qint64> offsetMs;
    QDateTime setTo;
    std::optional<WriteOutcome> outcome;
    uint8_t exceptionCode = 0;
    bool operator==(const ClockDetails&) const = default;
};

struct DeviceNames {
    uint16_t address = 0;
    QString generator;
    QString breaker;
    bool operator==(const DeviceNames&) const = default;
};

// A device table edit: nothing before an added relay, nothing after a deleted one.
struct DeviceChangeDetails {
    std::optional<DeviceNames> before;
    std::optional<DeviceNames> after;
    bool operator==(const DeviceChangeDetails&) const = default;
};

using JournalDetails =
    std::variant<std::monostate, ProtectionEventDetails, AlarmLineDetails, AlarmLogClearedDetails,
                 LinkDetails, SilenceDetails, WriteDetails, ClockDetails, DeviceChangeDetails,
                 AlarmDetails>;

// Whether the details are the ones a record of this kind carries.
bool detailsFit(JournalKind kind, const JournalDetails& details);

struct JournalEntry {
    qint64 id = 0;      // given by the journal when it is stored; 0 before
    qint64 timeMs = 0;  // the computer's time, milliseconds since 1970 UTC
    JournalKind kind = JournalKind::Unknown;
    std::optional<JournalRelay> relay;  // nothing for a record of the whole station
    QString text;                       // the line the operator reads
    JournalDetails details;

    QDateTime localTime() const { return QDateTime::fromMSecsSinceEpoch(timeMs); }
    bool operator==(const JournalEntry&) const = default;
};

// Text as the search compares it: case folded, Cyrillic included, and "ё" taken for "е", since
// names are written both ways.
QString journalSearchFold(const QString& text);

}  // namespace terval
