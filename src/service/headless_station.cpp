#include "service/headless_station.h"

#include <QCoreApplication>
#include <QRegularExpression>

#include "service/exit_signals.h"
#include "station/station_texts.h"

#include <csignal>

namespace terval {
namespace {

// The countdowns of a link that waits ("Следующая попытка через 8 с.", "Повтор через 8 с") are
// rewritten every second; with their seconds left out they read the same until something else
// happens.
QString withoutCountdown(const QString& text) {
    static const QRegularExpression seconds(QStringLiteral("\\d+(?= с(\\W|$))"),
                                            QRegularExpression::UseUnicodePropertiesOption);
    QString folded = text;
    return folded.replace(seconds, QStringLiteral("…"));
}

// A message box's text on one line: a journal entry per line would tear it apart.
QString oneLine(const QString& text) {
    QString joined;
    for (const QString& part : text.split(QLatin1Char('\n'))) {
        const QString line = part.trimmed();
        if (line.isEmpty()) {
            continue;
        }
        if (!joined.isEmpty()) {
            static const QString kEndings = QStringLiteral(".:;,!?");
            joined +=
                kEndings.contains(joined.back()) ? QStringLiteral(" ") : QStringLiteral(" — ");
        }
        joined += line;
    }
    return joined;
}

QString tileStateText(int state) {
    switch (state) {
        case kTileEvent:
            return QStringLiteral("событие");
        case kTileAnswering:
            return QStringLiteral("отвечает");
        default:
            return QStringLiteral("не отвечает");
    }
}

// The screen the main window's size is worked out for; nothing is drawn on it.
constexpr QSize kNominalScreen(1280, 1024);

}  // namespace

// ---- StationLog ----

StationLog::StationLog(QTextStream& out, const Clock& clock) : out_(out), clock_(clock) {}

void StationLog::write(const QString& text) {
    // Flushed at once: a service's log is read while it runs, and what it said last before a
    // crash is what matters most.
    out_ << clock_.now().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss ")) << text << Qt::endl;
}

void StationLog::note(const QString& text) {
    write(text);
}

void StationLog::recorded(const JournalEntry& entry) {
    const auto* details = std::get_if<AlarmDetails>(&entry.details);
    if (entry.kind != JournalKind::AlarmChanged || details == nullptr) {
        return;
    }
    const Alarm& a = details->alarm;
    QString change;
    switch (details->change) {
        case AlarmChange::Raised:
            change = QStringLiteral("поднят");
            break;
        case AlarmChange::Returned:
            change = QStringLiteral("условие исчезло");
            break;
        case AlarmChange::Acknowledged:
            change = QStringLiteral("квитирован");
            break;
        case AlarmChange::Shelved:
            change = QStringLiteral("отложен до %1")
                         .arg(QDateTime::fromMSecsSinceEpoch(a.shelvedUntilMs.value_or(0))
                                  .toString(QStringLiteral("yyyy-MM-dd HH:mm")));
            if (!a.shelfReason.isEmpty()) {
                change += QStringLiteral(" («%1»)").arg(a.shelfReason);
            }
            break;
        case AlarmChange::Unshelved:
            change = QStringLiteral("снят с полки");
            break;
        case AlarmChange::Suppressed:
            change = QStringLiteral("подавлен потерей связи");
            break;
        case AlarmChange::Unsuppressed:
            change = QStringLiteral("подавление снято");
            break;
        case AlarmChange::Restored:
            change = QStringLiteral("восстановлен из журнала");
            break;
        case AlarmChange::Removed:
            change = QStringLiteral("снят вместе с объектом");
            break;
    }
    if (!details->user.isEmpty()) {
        change += QStringLiteral(", пользователь ") + details->user;
    }
    write(QStringLiteral("Аварийный сигнал (%1 приоритет): %2 — %3; состояние: %4")
              .arg(alarmPriorityText(alarmPriority(a.kind)), a.text, change,
                   alarmStateText(a.state)));
}

void StationLog::showMessage(MessageIcon icon, const QString& text, const QString& caption) {
    QString kind;
    switch (icon) {
        case MessageIcon::Error:
            kind = QStringLiteral("Ошибка");
            break;
        case MessageIcon::Warning:
            kind = QStringLiteral("Предупреждение");
            break;
        case MessageIcon::Information:
            kind = QStringLiteral("Сведения");
            break;
    }
    if (!caption.isEmpty()) {
        kind += QStringLiteral(" (") + oneLine(caption) + QLatin1Char(')');
    }
    write(kind + QStringLiteral(": ") + oneLine(text));
}

QStringList StationLog::loadTilePictures(const QDir&) {
    return {};
}

void StationLog::setMenuItemEnabled(MenuItem item, bool enabled) {
    menu_ = enabled ? static_cast<MenuMask>(menu_ | menuBit(item))
                    : static_cast<MenuMask>(menu_ & ~menuBit(item));
}

void StationLog::buildTile(int i, QPoint, const QString& generator, const QString&) {
    // A new tile shows "no answer", as there is no link yet: nothing worth a line.
    tiles_[i] = Tile{generator, kTileNoAnswer};
}

void StationLog::freeTile(int i) {
    tiles_.erase(i);
}

void StationLog::showTileNames(int i, const QString& generator, const QString&) {
    tiles_[i].generator = generator;
}

QString StationLog::tileName(int i) const {
    const auto tile = tiles_.find(i);
    QString name = tile != tiles_.end() ? tile->second.generator : QString();
    if (name.isEmpty()) {
        name = QStringLiteral("Объект %1").arg(i);
    }
    if (station_ && i >= 1 && i <= station_->devices.DeviceCount) {
        name += QStringLiteral(" (адрес %1)").arg(station_->devices.entry(i).Address);
    }
    return name;
}

void StationLog::showTileState(int i, int state) {
    Tile& tile = tiles_[i];
    if (tile.state == state) {
        return;
    }
    tile.state = state;
    write(tileName(i) + QStringLiteral(": ") + tileStateText(state));
}

QSize StationLog::screenSize() const {
    return kNominalScreen;
}

QRect StationLog::availableArea() const {
    return QRect(QPoint(0, 0), kNominalScreen);
}

void StationLog::setStatusText(const QString& text) {
    const QString folded = withoutCountdown(text);
    if (status_ == folded) {
        return;
    }
    status_ = folded;
    attemptsTold_.clear();
    // A status line that is wiped says nothing new: what it said stays the last word.
    if (!text.isEmpty()) {
        write(QStringLiteral("Состояние: ") + text);
    }
}

void StationLog::showPortState(bool open) {
    if (portOpen_ == open) {
        return;
    }
    const bool first = !portOpen_.has_value();
    portOpen_ = open;
    // Closed is how a station starts.
    if (!serialDisplay_ || (first && !open)) {
        return;
    }
    // The port the link opens, which the label beside the lamp (param.dat's port number) need
    // not be.
    const QString port =
        station_ ? normalizePortName(station_->connection.portName) : QStringLiteral("COM");
    write(QStringLiteral("Порт %1: %2")
              .arg(port, open ? QStringLiteral("открыт") : QStringLiteral("закрыт")));
}

void StationLog::showLinkAttempt(const QString& text) {
    const QString folded = withoutCountdown(text);
    if (folded == attempt_) {
        return;
    }
    attempt_ = folded;
    if (text.isEmpty()) {
        return;
    }
    const QDateTime now = clock_.now();
    QDateTime& told = attemptsTold_[folded];
    if (told.isValid() && told <= now && told.secsTo(now) < 60) {
        return;
    }
    told = now;
    write(QStringLiteral("Попытка связи: ") + text);
}

void StationLog::showBrokerState(const QString& text, bool trouble) {
    if (text == broker_ && trouble == brokerTrouble_) {
        return;
    }
    const bool wasShown = !broker_.isEmpty();
    broker_ = text;
    brokerTrouble_ = trouble;
    if (text.isEmpty()) {
        if (wasShown) {
            write(QStringLiteral("Брокер: публикация остановлена"));
        }
        return;
    }
    // The text says what the trouble is; the red of the status bar has no place in a log.
    write(QStringLiteral("Брокер: ") + text);
}

void StationLog::showServerState(const QString& text) {
    if (text == server_) {
        return;
    }
    const bool wasShown = !server_.isEmpty();
    server_ = text;
    if (text.isEmpty()) {
        if (wasShown) {
            write(QStringLiteral("Modbus-сервер остановлен"));
        }
        return;
    }
    write(text);
}

void StationLog::setPollTimerRunning(bool running) {
    if (pollTimer_) {
        pollTimer_(running);
    }
}

void StationLog::showAlarmLog(const AlarmLog& log) {
    // New lines go on top and the oldest fall off the bottom: the lines shown before are what
    // follows the new ones, as far as they still fit.
    QStringList lines;
    lines.reserve(log.size());
    for (const AlarmLog::Line& line : log.lines()) {
        lines << line.text;
    }
    qsizetype fresh = 0;
    for (; fresh < lines.size(); ++fresh) {
        const qsizetype kept = lines.size() - fresh;
        if (kept <= alarmLines_.size() &&
            std::equal(lines.cbegin() + fresh, lines.cend(), alarmLines_.cbegin())) {
            break;
        }
    }
    // Oldest first, as they happened.
    for (qsizetype k = fresh - 1; k >= 0; --k) {
        write(QStringLiteral("Авария: ") + lines[k]);
    }
    alarmLines_ = std::move(lines);
}

// ---- HeadlessStation ----

HeadlessStation::HeadlessStation(const QDir& folder, const Clock& clock, QLocale locale,
                                 PlantOptions plant, QTextStream& log, DcsOptions dcs)
    : folder_(folder),
      log_(log, clock),
      station_(folder, log_, log_, clock, std::move(locale), std::move(plant), std::move(dcs)) {
    log_.setStation(&core().station);
    core().station.journal.records().addFeed(&log_);
    // As the main window's: the poll machine counts its time in these ticks.
    pollTimer_.setInterval(100);
    pollTimer_.setTimerType(Qt::PreciseTimer);
    secondTimer_.setInterval(1000);
    QObject::connect(&pollTimer_, &QTimer::timeout, &pollTimer_,
                     [this] { core().link.TimerTimer(); });
    QObject::connect(&secondTimer_, &QTimer::timeout, &secondTimer_,
                     [this] { core().Timer1Timer(); });
    log_.setPollTimer([this](bool running) {
        if (running) {
            pollTimer_.start();
        } else {
            pollTimer_.stop();
        }
    });
}

HeadlessStation::~HeadlessStation() {
    shutDown();
    core().station.journal.records().removeFeed(&log_);
    log_.setPollTimer({});
}

bool HeadlessStation::start() {
    log_.note(QStringLiteral("%1: станция без окон, папка %2")
                  .arg(kStationCaption, QDir::toNativeSeparators(folder_.absolutePath())));
    started_ = true;
    core().start();
    secondTimer_.start();
    if (core().station.devices.DeviceCount == 0) {
        // Without windows there is no way to add a relay: a station that went on would poll
        // nothing for ever, and a service manager would report it as running well.
        log_.note(QStringLiteral("В списке объектов (%1) нет ни одного реле: опрашивать нечего. "
                                 "Добавьте реле в окне станции и запустите её снова.")
                      .arg(kDeviceFileName));
        shutDown();
        return false;
    }
    // As "Установить связь" at start-up: the link the connection settings choose.
    if (log_.menuItemEnabled(MenuItem::NConnecting) && !core().station.linkUp) {
        core().link.NConnectingClick();
    }
    return true;
}

void HeadlessStation::shutDown() {
    if (!started_ || shutDown_) {
        return;
    }
    shutDown_ = true;
    StationCore& c = core();
    c.link.requestClose();
    c.tcpLink().close();
    pollTimer_.stop();
    c.serialLink().close();
    secondTimer_.stop();
    c.main.saveUnsavedAtExit();
    c.stop();
    log_.note(QStringLiteral("Станция остановлена"));
}

// ---- the program ----

int runHeadlessStation(const QDir& folder, PlantOptions plant, QTextStream& log, DcsOptions dcs,
                       std::optional<PollPace> pace) {
#ifdef Q_OS_UNIX
    // A log reader that goes away (a pipe into a pager or tee, closed with its terminal) makes a
    // write fail instead of ending the station with SIGPIPE before it has written what it holds.
    ::signal(SIGPIPE, SIG_IGN);
#endif
    SystemClock clock;
    HeadlessStation station(folder, clock, QLocale::system(), std::move(plant), log,
                            std::move(dcs));
    ExitSignals exitSignals([&station](int signo) {
        station.log().note(
            QStringLiteral("Получен сигнал %1: станция закрывается").arg(exitSignalName(signo)));
        station.shutDown();
        QCoreApplication::exit(0);
    });
    if (!exitSignals.error().isEmpty()) {
        // Stopped by a signal it cannot catch, the station would lose what it keeps in memory.
        station.log().note(
            QStringLiteral("Не удалось перехватить сигналы SIGTERM, SIGINT и SIGHUP: %1")
                .arg(exitSignals.error()));
        return 1;
    }
    if (pace) {
        station.core().setPaceFromCommandLine(*pace);
    }
    if (!station.start()) {
        return 1;
    }
    return QCoreApplication::exec();
}

}  // namespace terval
