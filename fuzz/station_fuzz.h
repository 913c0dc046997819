#pragma once
// What the station's fuzz targets share: a station core over the fakes the tests use, started on a
// working folder made once per process, and a reader of the fuzzer's bytes.
#include <QCoreApplication>
#include <QTemporaryDir>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "app/station_core.h"
#include "devices/device_editor.h"
#include "support/fakes.h"

namespace terval::fuzz {

// The fuzzer's bytes, taken from the front; nothing past the end.
class Input {
  public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t word() { return static_cast<uint16_t>(byte() << 8 | byte()); }
    QByteArray take(size_t n) {
        n = std::min(n, size_ - std::min(at_, size_));
        QByteArray out(reinterpret_cast<const char*>(data_ + at_), static_cast<qsizetype>(n));
        at_ += n;
        return out;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

inline void ensureApplication() {
    static int argc = 1;
    static char name[] = "terval-fuzz";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app = QCoreApplication::instance()
                                       ? QCoreApplication::instance()
                                       : new QCoreApplication(argc, argv);
    (void)app;
}

// The working folder of every run: three relays at addresses 1, 7 and 246, and the link asked for.
inline QDir folderFor(uint16_t linkType) {
    static QTemporaryDir dirs[3];
    QTemporaryDir& dir = dirs[linkType % 3];
    static bool made[3] = {false, false, false};
    if (!made[linkType % 3]) {
        made[linkType % 3] = true;
        DeviceTable table;
        const uint16_t addresses[] = {1, 7, 246};
        for (int n = 1; n <= 3; ++n) {
            DeviceEntry e = newDeviceEntry(n);
            e.Address = addresses[n - 1];
            table.append(e);
        }
        QFile gen(QDir(dir.path()).filePath("gen.dat"));
        gen.open(QIODevice::WriteOnly);
        gen.write(table.toFileBytes());
        gen.close();
        ConnectionConfig config;
        config.LinkType = linkType;
        config.ipAddress = {127, 0, 0, 1};
        config.tcpPort = 1502;
        QFile cfg(QDir(dir.path()).filePath("config.cfg"));
        cfg.open(QIODevice::WriteOnly);
        cfg.write(config.toRecord());
        cfg.close();
    }
    return QDir(dir.path());
}

// A station over fakes, connected.
struct Station {
    explicit Station(uint16_t linkType)
        : core(folderFor(linkType), view, messages, clock,
               QLocale(QLocale::Russian, QLocale::Russia), serial, socket) {
        core.start();
        core.link.NConnectingClick();
        if (linkType == kLinkTcp) {
            socket.connectNow();
        }
    }
    void deliver(QByteArrayView bytes) {
        if (core.station.connection.isSerial()) {
            serial.deliver(bytes);
        } else {
            socket.deliver(bytes);
        }
    }
    // What a tile may show and what the counters must say, whatever came in.
    void check() const {
        const DeviceTable& t = core.station.devices;
        const PollState& p = core.station.poll;
        for (int i = 1; i <= t.DeviceCount; ++i) {
            const DeviceEntry& e = t.entry(i);
            const bool open = p.awaitingAnswer() && p.PolledDevice() == i && !p.requestCounted();
            if (e.RequestsSent != e.GoodAnswers + e.BadAnswers + (open ? 1u : 0u)) {
                __builtin_trap();
            }
        }
    }

    testing::FakeMainView view;
    testing::RecordingMessageSink messages;
    testing::FixedClock clock{QDateTime(QDate(2026, 3, 15), QTime(12, 0, 0))};
    testing::FakeSerialPort serial;
    testing::FakeTcpSocket socket;
    StationCore core;
};

}  // namespace terval::fuzz
