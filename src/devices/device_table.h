#pragma once

#include <QByteArray>
#include <QString>
#include <array>
#include <cstdint>

namespace terval {

inline constexpr int kMaxDevices = 32;
inline constexpr int kDeviceRecordSize = 56;

// One monitored relay, stored in gen.dat exactly as this 56-byte record (little-endian).
struct DeviceEntry {
    QString GeneratorName;
    QString BreakerName;
    uint16_t Address = 0;
    // Days since 30 December 1899 with the time of day as the fraction; 0 = nothing logged yet.
    double LastEventTime = 0.0;
    uint16_t reserved16a = 0;
    uint16_t reserved16b = 0;
    uint32_t reserved32 = 0;
    uint32_t GoodAnswers = 0;
    uint32_t BadAnswers = 0;
    uint32_t RequestsSent = 0;
    // Not stored: LastEventTime was read from a list that may have been written when event times
    // were kept to the minute, until the relay's newest protocol has been compared with it once.
    bool minutePrecision = false;

    QByteArray toRecord() const;
    // `record` must hold at least kDeviceRecordSize bytes.
    static DeviceEntry fromRecord(const char* record);

    void clearCounters() { GoodAnswers = BadAnswers = RequestsSent = 0; }
    bool operator==(const DeviceEntry&) const = default;
};

// The relays in use are entries 1 to DeviceCount, contiguous; relay i owns tile i.
class DeviceTable {
  public:
    int DeviceCount = 0;
    int SelectedDevice = 0;  // 0 = none

    DeviceEntry& entry(int i) { return entries_.at(static_cast<size_t>(i - 1)); }
    const DeviceEntry& entry(int i) const { return entries_.at(static_cast<size_t>(i - 1)); }

    bool isFull() const { return DeviceCount >= kMaxDevices; }
    bool hasSelection() const { return SelectedDevice > 0 && SelectedDevice <= DeviceCount; }

    // Appends at DeviceCount + 1; returns the new relay's number, or 0 when the table is full.
    int append(const DeviceEntry& e);
    // Removes relay i; the later relays close up and their numbers drop by one.
    void remove(int i);
    void clear() { DeviceCount = 0; }

    // Entries 1 to DeviceCount as gen.dat holds them.
    QByteArray toFileBytes() const;

  private:
    std::array<DeviceEntry, kMaxDevices> entries_{};
};

}  // namespace terval
