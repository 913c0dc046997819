#include "sound/qt_alarm_sound.h"

#include <QAudioDevice>
#include <QMediaDevices>
#include <QSoundEffect>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <cmath>

namespace terval {
namespace {

// Embedded by the build from what tools/alarm-sounds writes.
const QUrl kHighSound(QStringLiteral("qrc:/terval/sounds/alarm_high.wav"));
const QUrl kMediumSound(QStringLiteral("qrc:/terval/sounds/alarm_medium.wav"));

// How soon a call that could not go out is tried again: a device back within this is heard.
constexpr int kRetryMs = 3000;
// A server that refuses a stream does so at once; one still playing after this takes it.
constexpr int kConfirmMs = 1000;

// Loudness halves with every 10 dB less. For the volume setting to be heard in proportion (50 half
// as loud as 100, 25 a quarter) the amplitude goes as the setting's share to the power
// log2(10)/2; in plain proportion 50 would sound barely quieter than 100.
const double kLoudnessExponent = std::log2(10.0) / 2;

QString noDeviceText() {
    return QStringLiteral("Нет звукового устройства: аварийные сигналы без звука");
}

}  // namespace

QtAlarmSound::QtAlarmSound()
    : retry_(std::make_unique<QTimer>()), confirm_(std::make_unique<QTimer>()) {
    retry_->setSingleShot(true);
    retry_->setInterval(kRetryMs);
    QObject::connect(retry_.get(), &QTimer::timeout, retry_.get(), [this] {
        if (callWanted_ && !playing()) {
            play(*callWanted_, true);
        }
    });
    confirm_->setSingleShot(true);
    confirm_->setInterval(kConfirmMs);
    QObject::connect(confirm_.get(), &QTimer::timeout, confirm_.get(), [this] {
        if (playing()) {
            setTrouble(QString());
        }
    });
    ready();
}

QtAlarmSound::~QtAlarmSound() {
    // An effect stops as it goes, and says so to this object while it is still whole.
    stopping_ = true;
    retry_->stop();
    confirm_->stop();
    high_.reset();
    medium_.reset();
}

bool QtAlarmSound::ready() {
    if (high_ && !broken_) {
        return true;
    }
    if (QMediaDevices::audioOutputs().isEmpty()) {
        setTrouble(noDeviceText());
        return false;
    }
    stopping_ = true;
    current_ = nullptr;
    repeating_ = false;
    high_ = std::make_unique<QSoundEffect>();
    medium_ = std::make_unique<QSoundEffect>();
    stopping_ = false;
    broken_ = false;
    watch(*high_);
    watch(*medium_);
    high_->setSource(kHighSound);
    medium_->setSource(kMediumSound);
    applyVolume();
    return true;
}

void QtAlarmSound::watch(QSoundEffect& effect) {
    QObject::connect(&effect, &QSoundEffect::statusChanged, &effect, [this, &effect] {
        if (effect.status() != QSoundEffect::Error) {
            return;
        }
        // Qt fails an effect whose sound has loaded when there is no device to play it on; the
        // sound itself is embedded, so a failure to load it means a broken build.
        failed(QMediaDevices::audioOutputs().isEmpty()
                   ? noDeviceText()
                   : QStringLiteral("Звук аварийных сигналов не загружен: аварийные сигналы "
                                    "без звука"));
    });
    QObject::connect(&effect, &QSoundEffect::playingChanged, &effect, [this, &effect] {
        if (effect.isPlaying() || stopping_ || &effect != current_ || !repeating_) {
            return;
        }
        // A repeating sound ends only when told to: anything else is the device giving up.
        repeating_ = false;
        failed(
            QStringLiteral("Звуковое устройство перестало воспроизводить: аварийные "
                           "сигналы без звука"));
    });
}

void QtAlarmSound::failed(const QString& why) {
    broken_ = true;
    confirm_->stop();
    if (trouble_.isEmpty()) {
        setTrouble(why);
    }
    if (callWanted_ && !retry_->isActive()) {
        retry_->start();
    }
}

void QtAlarmSound::play(AlarmPriority priority, bool repeat) {
    if (priority == AlarmPriority::Low) {
        return;
    }
    // A sound played once in its place ends the call.
    callWanted_ = repeat ? std::optional(priority) : std::nullopt;
    if (!ready()) {
        if (callWanted_ && !retry_->isActive()) {
            retry_->start();
        }
        return;
    }
    QSoundEffect* next = priority == AlarmPriority::High ? high_.get() : medium_.get();
    if (next == current_ && repeat && repeating_ && next->isPlaying()) {
        return;  // restarting would only break the rhythm
    }
    stopping_ = true;
    if (current_ != nullptr) {
        current_->stop();
    }
    next->stop();
    stopping_ = false;
    current_ = next;
    repeating_ = repeat;
    next->setLoopCount(repeat ? QSoundEffect::Infinite : 1);
    next->play();
    if (repeat && !trouble_.isEmpty()) {
        confirm_->start();
    }
}

void QtAlarmSound::stop() {
    callWanted_.reset();
    retry_->stop();
    confirm_->stop();
    repeating_ = false;
    if (current_ == nullptr) {
        return;
    }
    stopping_ = true;
    current_->stop();
    stopping_ = false;
    current_ = nullptr;
}

bool QtAlarmSound::playing() const {
    return repeating_ && current_ != nullptr && current_->isPlaying();
}

bool QtAlarmSound::sounding() const {
    return current_ != nullptr && current_->isPlaying();
}

void QtAlarmSound::setVolume(int percent) {
    volumePercent_ = std::clamp(percent, 0, 100);
    applyVolume();
}

void QtAlarmSound::applyVolume() {
    const double share = volumePercent_ / 100.0;
    const auto volume = static_cast<float>(std::pow(share, kLoudnessExponent));
    for (QSoundEffect* effect : {high_.get(), medium_.get()}) {
        if (effect != nullptr) {
            effect->setVolume(volume);
        }
    }
}

void QtAlarmSound::setTroubleListener(std::function<void(const QString&)> listener) {
    troubleListener_ = std::move(listener);
}

void QtAlarmSound::setTrouble(const QString& text) {
    if (text == trouble_) {
        return;
    }
    trouble_ = text;
    if (troubleListener_) {
        troubleListener_(trouble_);
    }
}

QString QtAlarmSound::trouble() const {
    return trouble_;
}

}  // namespace terval
