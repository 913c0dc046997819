#include "sound/qt_alarm_sound.h"

#include <QAudioDevice>
#include <QMediaDevices>
#include <QSoundEffect>
#include <QUrl>
#include <algorithm>
#include <cmath>

namespace terval {
namespace {

// Embedded by the build from what tools/alarm-sounds writes.
const QUrl kHighSound(QStringLiteral("qrc:/terval/sounds/alarm_high.wav"));
const QUrl kMediumSound(QStringLiteral("qrc:/terval/sounds/alarm_medium.wav"));

// Loudness halves with every 10 dB less. For the volume setting to be heard in proportion (50 half
// as loud as 100, 25 a quarter) the amplitude goes as the setting's share to the power
// log2(10)/2; in plain proportion 50 would sound barely quieter than 100.
const double kLoudnessExponent = std::log2(10.0) / 2;

QString noDeviceText() {
    return QStringLiteral("Нет звукового устройства: аварийные сигналы без звука");
}

}  // namespace

QtAlarmSound::QtAlarmSound() {
    ready();
}

QtAlarmSound::~QtAlarmSound() {
    // An effect stops as it goes, and says so to this object while it is still whole.
    stopping_ = true;
    high_.reset();
    medium_.reset();
}

bool QtAlarmSound::ready() {
    if (high_ && trouble_.isEmpty()) {
        return true;
    }
    if (QMediaDevices::audioOutputs().isEmpty()) {
        trouble_ = noDeviceText();
        return false;
    }
    // Made anew after any trouble: an effect that failed stays failed in Qt, and one whose device
    // went away stays silent, whatever the device does since.
    stopping_ = true;
    current_ = nullptr;
    repeating_ = false;
    high_ = std::make_unique<QSoundEffect>();
    medium_ = std::make_unique<QSoundEffect>();
    stopping_ = false;
    trouble_.clear();
    watch(*high_);
    watch(*medium_);
    high_->setSource(kHighSound);
    medium_->setSource(kMediumSound);
    applyVolume();
    return true;
}

void QtAlarmSound::watch(QSoundEffect& effect) {
    QObject::connect(&effect, &QSoundEffect::statusChanged, &effect, [this, &effect] {
        if (effect.status() != QSoundEffect::Error || !trouble_.isEmpty()) {
            return;
        }
        // Qt fails an effect whose sound is loaded when there is no device to play it on; the
        // sound itself is embedded, so a failure to load it means a broken build.
        trouble_ = QMediaDevices::audioOutputs().isEmpty()
                       ? noDeviceText()
                       : QStringLiteral(
                             "Звук аварийных сигналов не загружен: аварийные сигналы "
                             "без звука");
    });
    QObject::connect(&effect, &QSoundEffect::playingChanged, &effect, [this, &effect] {
        if (effect.isPlaying() || stopping_ || &effect != current_ || !repeating_) {
            return;
        }
        // A repeating sound ends only when told to: anything else is the device giving up.
        repeating_ = false;
        if (trouble_.isEmpty()) {
            trouble_ = QStringLiteral(
                "Звуковое устройство перестало воспроизводить: аварийные "
                "сигналы без звука");
        }
    });
}

void QtAlarmSound::play(AlarmPriority priority, bool repeat) {
    if (priority == AlarmPriority::Low || !ready()) {
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
}

void QtAlarmSound::stop() {
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

QString QtAlarmSound::trouble() const {
    return trouble_;
}

}  // namespace terval
