#include "app/main_view_relay.h"

namespace terval {
namespace {

// The screen a window would be fitted to while there is none.
constexpr QSize kNominalScreen(1024, 768);

}  // namespace

QStringList MainViewRelay::loadTilePictures(const QDir& folder) {
    return view_ ? view_->loadTilePictures(folder) : QStringList();
}

void MainViewRelay::applyMenuMask(MenuMask mask) {
    if (view_) {
        view_->applyMenuMask(mask);
    }
}

void MainViewRelay::setMenuItemEnabled(MenuItem item, bool enabled) {
    if (view_) {
        view_->setMenuItemEnabled(item, enabled);
    }
}

void MainViewRelay::buildTile(int i, QPoint offset, const QString& generator,
                              const QString& breaker) {
    if (view_) {
        view_->buildTile(i, offset, generator, breaker);
    }
}

void MainViewRelay::freeTile(int i) {
    if (view_) {
        view_->freeTile(i);
    }
}

void MainViewRelay::showTileNames(int i, const QString& generator, const QString& breaker) {
    if (view_) {
        view_->showTileNames(i, generator, breaker);
    }
}

void MainViewRelay::showTileState(int i, int state) {
    if (view_) {
        view_->showTileState(i, state);
    }
}

void MainViewRelay::showTileValue(int i, const QString& text, bool visible) {
    if (view_) {
        view_->showTileValue(i, text, visible);
    }
}

void MainViewRelay::showTileAge(int i, bool stale, const QString& lastAnswer) {
    if (view_) {
        view_->showTileAge(i, stale, lastAnswer);
    }
}

void MainViewRelay::drawTileSelected(int i, bool selected) {
    if (view_) {
        view_->drawTileSelected(i, selected);
    }
}

void MainViewRelay::placeWindow(const QRect& frame) {
    if (view_) {
        view_->placeWindow(frame);
    }
}

QSize MainViewRelay::screenSize() const {
    return view_ ? view_->screenSize() : kNominalScreen;
}

QRect MainViewRelay::availableArea() const {
    return view_ ? view_->availableArea() : QRect(QPoint(0, 0), kNominalScreen);
}

void MainViewRelay::setSerialDisplayVisible(bool visible) {
    if (view_) {
        view_->setSerialDisplayVisible(visible);
    }
}

void MainViewRelay::showClock(const QString& date, const QString& time, const QString& portLabel) {
    if (view_) {
        view_->showClock(date, time, portLabel);
    }
}

void MainViewRelay::clearAlarmLog() {
    if (view_) {
        view_->clearAlarmLog();
    }
}

void MainViewRelay::setLed(Led led, bool lit) {
    if (view_) {
        view_->setLed(led, lit);
    }
}

void MainViewRelay::showPortState(bool open) {
    if (view_) {
        view_->showPortState(open);
    }
}

void MainViewRelay::showConnectCommand(bool linkUp) {
    if (view_) {
        view_->showConnectCommand(linkUp);
    }
}

void MainViewRelay::setStatusText(const QString& text) {
    if (view_) {
        view_->setStatusText(text);
    }
}

void MainViewRelay::showLinkAttempt(const QString& text) {
    if (view_) {
        view_->showLinkAttempt(text);
    }
}

void MainViewRelay::showBrokerState(const QString& text, bool trouble) {
    if (view_) {
        view_->showBrokerState(text, trouble);
    }
}

void MainViewRelay::showServerState(const QString& text) {
    if (view_) {
        view_->showServerState(text);
    }
}

void MainViewRelay::setPollTimerRunning(bool running) {
    if (view_) {
        view_->setPollTimerRunning(running);
    }
}

void MainViewRelay::showAlarmLog(const AlarmLog& log) {
    if (view_) {
        view_->showAlarmLog(log);
    }
}

void MainViewRelay::setAlarmCommandsEnabled(bool enabled) {
    if (view_) {
        view_->setAlarmCommandsEnabled(enabled);
    }
}

bool MainViewRelay::isMainWindowActive() const {
    return view_ != nullptr && view_->isMainWindowActive();
}

}  // namespace terval
