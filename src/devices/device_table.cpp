#include "devices/device_table.h"

#include <QtEndian>
#include <cstring>

#include "devices/short_string.h"

namespace terval {
namespace {

constexpr int kGeneratorNameOffset = 0;
constexpr int kBreakerNameOffset = 11;
constexpr int kAddressOffset = 22;
constexpr int kLastEventOffset = 24;
constexpr int kReserved16aOffset = 32;
constexpr int kReserved16bOffset = 34;
constexpr int kReserved32Offset = 36;
constexpr int kGoodAnswersOffset = 40;
constexpr int kBadAnswersOffset = 44;
constexpr int kRequestsSentOffset = 48;

template <typename T>
void put(char* record, int offset, T value) {
    qToLittleEndian<T>(value, record + offset);
}

template <typename T>
T get(const char* record, int offset) {
    return qFromLittleEndian<T>(record + offset);
}

}  // namespace

QByteArray DeviceEntry::toRecord() const {
    QByteArray record(kDeviceRecordSize, '\0');
    char* r = record.data();
    writeShortString(r + kGeneratorNameOffset, GeneratorName);
    writeShortString(r + kBreakerNameOffset, BreakerName);
    put<uint16_t>(r, kAddressOffset, Address);
    uint64_t timeBits = 0;
    static_assert(sizeof(timeBits) == sizeof(LastEventTime));
    std::memcpy(&timeBits, &LastEventTime, sizeof timeBits);
    put<uint64_t>(r, kLastEventOffset, timeBits);
    put<uint16_t>(r, kReserved16aOffset, reserved16a);
    put<uint16_t>(r, kReserved16bOffset, reserved16b);
    put<uint32_t>(r, kReserved32Offset, reserved32);
    put<uint32_t>(r, kGoodAnswersOffset, GoodAnswers);
    put<uint32_t>(r, kBadAnswersOffset, BadAnswers);
    put<uint32_t>(r, kRequestsSentOffset, RequestsSent);
    return record;
}

DeviceEntry DeviceEntry::fromRecord(const char* r) {
    DeviceEntry e;
    e.GeneratorName = readShortString(r + kGeneratorNameOffset);
    e.BreakerName = readShortString(r + kBreakerNameOffset);
    e.Address = get<uint16_t>(r, kAddressOffset);
    const uint64_t timeBits = get<uint64_t>(r, kLastEventOffset);
    std::memcpy(&e.LastEventTime, &timeBits, sizeof timeBits);
    e.reserved16a = get<uint16_t>(r, kReserved16aOffset);
    e.reserved16b = get<uint16_t>(r, kReserved16bOffset);
    e.reserved32 = get<uint32_t>(r, kReserved32Offset);
    e.GoodAnswers = get<uint32_t>(r, kGoodAnswersOffset);
    e.BadAnswers = get<uint32_t>(r, kBadAnswersOffset);
    e.RequestsSent = get<uint32_t>(r, kRequestsSentOffset);
    return e;
}

int DeviceTable::append(const DeviceEntry& e) {
    if (isFull()) {
        return 0;
    }
    ++DeviceCount;
    entry(DeviceCount) = e;
    return DeviceCount;
}

void DeviceTable::remove(int i) {
    if (i < 1 || i > DeviceCount) {
        return;
    }
    for (int k = i; k < DeviceCount; ++k) {
        entry(k) = entry(k + 1);
    }
    entry(DeviceCount) = DeviceEntry{};
    --DeviceCount;
}

QByteArray DeviceTable::toFileBytes() const {
    QByteArray bytes;
    bytes.reserve(DeviceCount * kDeviceRecordSize);
    for (int i = 1; i <= DeviceCount; ++i) {
        bytes += entry(i).toRecord();
    }
    return bytes;
}

}  // namespace terval
