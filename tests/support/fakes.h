#pragma once

#include <QDateTime>
#include <QDir>
#include <QTemporaryDir>
#include <QVector>
#include <map>

#include "link/link.h"
#include "station/clock.h"
#include "station/main_view.h"
#include "station/message_sink.h"

namespace terval::testing {

struct Message {
    MessageIcon icon;
    QString text;
    QString caption;
};

class RecordingMessageSink final : public MessageSink {
  public:
    void showMessage(MessageIcon icon, const QString& text, const QString& caption = {}) override {
        messages.push_back({icon, text, caption});
    }
    void withdrawMessage(const QString& text) override { withdrawn << text; }
    QStringList texts() const;
    QVector<Message> messages;
    QStringList withdrawn;
};

class FixedClock final : public Clock {
  public:
    explicit FixedClock(QDateTime t) : time(std::move(t)) {}
    QDateTime now() const override { return time; }
    QDateTime time;
};

// Records what the core asked the main window to show, as the window would show it.
class FakeMainView final : public MainView {
  public:
    struct Tile {
        QPoint offset;
        QString generator;
        QString breaker;
        int state = 0;
        QString value;
        bool valueVisible = false;
        bool selected = false;
        bool stale = true;
        QString lastAnswer;
    };

    QStringList loadTilePictures(const QDir& folder) override;
    void applyMenuMask(MenuMask mask) override {
        menu = mask;
        masks.push_back(mask);
    }
    void setMenuItemEnabled(MenuItem item, bool enabled) override {
        menu = enabled ? static_cast<MenuMask>(menu | menuBit(item))
                       : static_cast<MenuMask>(menu & ~menuBit(item));
    }
    void buildTile(int i, QPoint offset, const QString& generator,
                   const QString& breaker) override {
        Tile t;
        t.offset = offset;
        t.generator = generator;
        t.breaker = breaker;
        tiles[i] = t;
        ++built;
    }
    void freeTile(int i) override { tiles.erase(i); }
    void showTileNames(int i, const QString& generator, const QString& breaker) override {
        tiles.at(i).generator = generator;
        tiles.at(i).breaker = breaker;
    }
    void showTileState(int i, int state) override { tiles.at(i).state = state; }
    void showTileValue(int i, const QString& text, bool visible) override {
        tiles.at(i).value = text;
        tiles.at(i).valueVisible = visible;
    }
    void showTileAge(int i, bool stale, const QString& lastAnswer) override {
        tiles.at(i).stale = stale;
        tiles.at(i).lastAnswer = lastAnswer;
    }
    void drawTileSelected(int i, bool selected) override { tiles.at(i).selected = selected; }
    void placeWindow(const QRect& frame) override { window = frame; }
    QSize screenSize() const override { return screen; }
    QRect availableArea() const override {
        return available.isValid() ? available : QRect(QPoint(0, 0), screen);
    }
    void setSerialDisplayVisible(bool visible) override { serialDisplay = visible; }
    void showClock(const QString& d, const QString& t, const QString& port) override {
        date = d;
        time = t;
        portLabel = port;
    }
    void clearAlarmLog() override { ++alarmLogCleared; }
    void setLed(Led led, bool lit) override { leds[static_cast<int>(led)] = lit; }
    void showPortState(bool open) override { portOpen = open; }
    void showConnectCommand(bool up) override { connectCaptionUp = up; }
    void setStatusText(const QString& text) override { statusTexts << text; }
    void showLinkAttempt(const QString& text) override { linkAttempt = text; }
    void showBrokerState(const QString& text, bool trouble) override {
        brokerText = text;
        brokerTrouble = trouble;
    }
    void setPollTimerRunning(bool running) override { pollTimer = running; }
    void showAlarmLog(const AlarmLog& log) override {
        alarmLines.clear();
        alarmNew.clear();
        for (const AlarmLog::Line& line : log.lines()) {
            alarmLines << line.text;
            alarmNew << line.isNew;
        }
        alarmSelected = log.selectedLine();
    }
    void setAlarmCommandsEnabled(bool enabled) override { alarmCommands = enabled; }
    bool isMainWindowActive() const override { return mainActive; }

    bool enabled(MenuItem item) const { return menuEnabled(menu, item); }
    QVector<int> selectedTiles() const;

    QSize screen{1280, 1024};
    QRect available;  // invalid: the whole screen
    MenuMask menu = 0;
    QVector<MenuMask> masks;
    std::map<int, Tile> tiles;
    int built = 0;
    QRect window;
    bool serialDisplay = false;
    QString date, time, portLabel;
    int alarmLogCleared = 0;
    QStringList pictureErrors;
    bool leds[3] = {false, false, false};
    bool portOpen = false;
    bool connectCaptionUp = false;
    QStringList statusTexts;
    QString linkAttempt;
    QString brokerText;
    bool brokerTrouble = false;
    bool pollTimer = false;
    QStringList alarmLines;
    QVector<bool> alarmNew;
    int alarmSelected = -1;
    bool alarmCommands = false;
    bool mainActive = true;
};

// A serial link that records the frames written and opens when told to; the test plays the line.
class FakeSerialPort final : public Link {
  public:
    void setEvents(LinkEvents* e) override { events = e; }
    bool open(const LinkTarget& target) override {
        settings = target.serial;
        opened = canOpen;
        if (opened && events) {
            events->linkOpened();
        }
        return opened;
    }
    void close() override { opened = false; }
    bool isActive() const override { return opened; }
    void send(QByteArrayView frame) override {
        if (opened) {
            written << frame.toByteArray();
        }
    }
    // Bytes arriving from the line, in one delivery.
    void deliver(QByteArrayView bytes) { events->bytesReceived(bytes); }
    // The device goes away, as a pulled converter does: the port closes itself.
    void lose(const QString& text = QStringLiteral("Устройство порта больше недоступно.")) {
        opened = false;
        canOpen = false;
        events->linkLost(text);
    }

    LinkEvents* events = nullptr;
    bool canOpen = true;
    bool opened = false;
    SerialSettings settings;
    QList<QByteArray> written;
};

// A TCP link that records activations and requests; the test plays the peer's events.
class FakeTcpSocket final : public Link {
  public:
    void setEvents(LinkEvents* e) override { events = e; }
    bool open(const LinkTarget& target) override {
        host = target.host;
        port = target.port;
        active = true;
        connected = false;
        ++activations;
        return true;
    }
    // Like a real socket, a connection that is closed reports its end.
    void close() override {
        const bool wasConnected = connected;
        active = false;
        connected = false;
        ++deactivations;
        if (wasConnected && events) {
            events->linkDisconnected();
        }
    }
    bool isActive() const override { return active; }
    void send(QByteArrayView frame) override {
        if (active && connected) {
            sent << frame.toByteArray();
        }
    }
    // The connection is established.
    void connectNow() {
        connected = true;
        events->linkOpened();
    }
    // Bytes arriving on the connection, in one read.
    void deliver(QByteArrayView bytes) { events->bytesReceived(bytes); }
    // The peer ends the connection.
    void hangUp() {
        active = false;
        connected = false;
        events->linkDisconnected();
    }

    LinkEvents* events = nullptr;
    QString host;
    uint16_t port = 0;
    bool active = false;
    bool connected = false;
    int activations = 0;
    int deactivations = 0;
    QList<QByteArray> sent;
};

// A fresh working folder for one test, removed afterwards.
class WorkFolder {
  public:
    WorkFolder();
    QDir dir() const { return QDir(temp_.path()); }
    QString path(const QString& name) const { return dir().filePath(name); }
    void write(const QString& name, const QByteArray& bytes) const;
    QByteArray read(const QString& name) const;
    bool exists(const QString& name) const { return dir().exists(name); }
    // Copies the four tile pictures of the installation.
    void addPictures() const;

  private:
    QTemporaryDir temp_;
};

// A small file system of a test's own, mounted over a folder. The tests run as root, for whom a
// folder's permissions stop nothing: a read-only or a full folder has to be a real file system.
class SmallDisk {
  public:
    SmallDisk(const QDir& folder, int kilobytes);
    ~SmallDisk();
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    // Why there is none (not root, no tmpfs here), for the test to skip; empty when mounted.
    const QString& unavailable() const { return unavailable_; }
    bool makeReadOnly();
    // Takes every free byte with a file of its own.
    void fill();

  private:
    QDir folder_;
    int kilobytes_;
    QString unavailable_;
};

QByteArray hexBytes(const char* hex);

}  // namespace terval::testing
