#pragma once

#include <QDir>
#include <QString>
#include <optional>

#include "devices/stored_file.h"
#include "station/poll_state.h"

namespace terval {

inline const QString kSettingsFileName = QStringLiteral("terval.ini");

// What the station keeps beyond the files it has always had, in terval.ini of the working folder,
// so that config.cfg keeps its 36 bytes.
struct StationSettings {
    // Open the link right after start-up, so that a plant computer that restarts after a power
    // cut is monitoring again with nobody at the keyboard.
    bool connectAtStart = false;
    // Journal records older than this many months are removed at start-up; 0 keeps them all.
    int journalKeepMonths = 60;
    // [poll]: by the tick, or at the pace of the line, with its margins.
    PollPacing poll{};
};

// A missing file gives the defaults; a file that cannot be read gives them with a reason.
struct SettingsLoad {
    StationSettings settings;
    FileError error;
};
SettingsLoad loadStationSettings(const QDir& folder);
FileError saveStationSettings(const QDir& folder, const StationSettings& settings);
// Writes [poll] alone, every other line of the file kept.
FileError savePollPacing(const QDir& folder, const PollPacing& pacing);
// "tick" or "wire", as terval.ini and the command line spell the pace; nothing for another word.
std::optional<PollPace> pollPaceNamed(const QString& word);
QString pollPaceName(PollPace pace);

}  // namespace terval
