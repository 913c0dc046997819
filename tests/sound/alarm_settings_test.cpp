#include "alarms/alarm_settings.h"

#include <gtest/gtest.h>

#include "support/fakes.h"

namespace terval {
namespace {

using testing::WorkFolder;

TEST(AlarmSettings, TerValIniGivesTheSoundOrSaysWhichValueWasNotTaken) {
    const QString prefix = QStringLiteral("В файле terval.ini, раздел [alarms]: ");
    const struct {
        const char* text;  // nullptr: no terval.ini at all
        bool enabled;
        int volume;
        const char* error;  // after the prefix; "" for none
    } cases[] = {
        {nullptr, true, 80, ""},
        {"[link]\nconnectAtStart=true\n", true, 80, ""},
        {"[alarms]\nsound=false\nvolume=35\n", false, 35, ""},
        {"[alarms]\nsound = true\nvolume = 100\n", true, 100, ""},
        {"[alarms]\nsound=Off\nvolume=0\n", false, 0, ""},
        {"[alarms]\nsound=no\n", false, 80, ""},
        {"[alarms]\nsound=1\n", true, 80, ""},
        {"[alarms]\nsound=громко\nvolume=20\n", true, 20,
         "sound=громко не true или false; звук аварийных сигналов включён."},
        {"[alarms]\nsound=\n", true, 80,
         "sound= не true или false; звук аварийных сигналов включён."},
        {"[alarms]\nvolume=101\n", true, 80, "volume=101 не число от 0 до 100; громкость 80."},
        {"[alarms]\nvolume=-1\nsound=false\n", false, 80,
         "volume=-1 не число от 0 до 100; громкость 80."},
        {"[alarms]\nvolume=1,5\n", true, 80, "volume=1,5 не число от 0 до 100; громкость 80."},
        {"[alarms]\nvolume=50%\n", true, 80, "volume=50% не число от 0 до 100; громкость 80."},
        {"[alarms]\nsound=maybe\nvolume=loud\n", true, 80,
         "sound=maybe не true или false; звук аварийных сигналов включён; volume=loud не число "
         "от 0 до 100; громкость 80."},
        // Keys of another section are not this one's.
        {"[mqtt]\nsound=false\nvolume=5\n", true, 80, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text == nullptr ? "no file" : c.text);
        WorkFolder folder;
        if (c.text != nullptr) {
            folder.write(QStringLiteral("terval.ini"), c.text);
        }
        const AlarmSettingsLoad load = loadAlarmSettings(folder.dir());
        EXPECT_EQ(load.settings.enabled, c.enabled);
        EXPECT_EQ(load.settings.volumePercent, c.volume);
        EXPECT_EQ(load.error, *c.error == 0 ? QString() : prefix + QString::fromUtf8(c.error));
    }
}

}  // namespace
}  // namespace terval
