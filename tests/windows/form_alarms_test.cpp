// The alarm window and the main window's part in it: the rows and the counter as alarms arrive,
// acknowledgement, shelving with a reason and taking off the shelf, the tile pop-up's items, and
// Ctrl+Space silencing from whichever window has the key, a modal dialog included.
#include "windows/alarms/form_alarms.h"

#include <gtest/gtest.h>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

#include "alarms/recording_sound.h"
#include "devices/device_editor.h"
#include "support/fakes.h"
#include "support/find_child.h"
#include "support/wait_until.h"
#include "windows/alarms/form_shelve.h"
#include "windows/main/form_main.h"
#include "windows/main/windowed_station.h"

namespace terval {
namespace {

using testing::child;
using testing::FixedClock;
using testing::RecordingMessageSink;
using testing::RecordingSound;
using testing::WorkFolder;

class FormAlarmsTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { installFontSubstitutions(); }

    void SetUp() override {
        folder.addPictures();
        DeviceTable t;
        for (int n = 1; n <= 4; ++n) {
            t.append(newDeviceEntry(n));
        }
        folder.write("gen.dat", t.toFileBytes());
        windowed = std::make_unique<WindowedStation>(folder.dir(), messages, clock,
                                                     QLocale(QLocale::Russian, QLocale::Russia));
        form = &windowed->window();
        book().setSound(&sound);
        form->show();
        QApplication::setActiveWindow(form);
        ASSERT_TRUE(QTest::qWaitForWindowActive(form));
    }
    void TearDown() override { book().setSound(nullptr); }

    AlarmBook& book() { return windowed->core().alarms; }
    // A record of relay `n` as the station makes it, told to the alarms as the stream tells them.
    void record(JournalKind kind, int n, const QString& text) {
        JournalEntry e;
        e.timeMs = clock.now().toMSecsSinceEpoch();
        e.kind = kind;
        const DeviceEntry& d = form->station().devices.entry(n);
        e.relay = JournalRelay{n, d.Address, d.GeneratorName, d.BreakerName};
        e.text = text;
        book().recorded(e);
    }
    QTableWidget* table(const char* name) { return child<QTableWidget>(alarms(), name); }
    QPushButton* button(const char* name) { return child<QPushButton>(alarms(), name); }
    TFormAlarms* alarms() { return form->alarmWindow(); }
    QString cellText(const char* tableName, int row, int column) {
        return table(tableName)->item(row, column)->text();
    }
    void selectRow(const char* tableName, int row) {
        table(tableName)->clearSelection();
        table(tableName)->selectRow(row);
    }
    QString counter() { return child<QLabel>(form, "LabelUnacknowledged")->text(); }

    WorkFolder folder;
    RecordingMessageSink messages;
    FixedClock clock{QDateTime(QDate(2026, 12, 6), QTime(14, 30, 0))};
    RecordingSound sound;
    std::unique_ptr<WindowedStation> windowed;
    TFormMain* form = nullptr;
};

TEST_F(FormAlarmsTest, RowsCounterAcknowledgeShelveAndSilenceFromEveryWindow) {
    EXPECT_EQ(counter(), QStringLiteral("Неквитированных: 0"));
    EXPECT_FALSE(child<QLabel>(form, "LabelFlood")->isVisible());

    record(JournalKind::RelaySilent, 3, QStringLiteral("Защита не отвечает"));
    clock.time = clock.time.addSecs(5);
    record(JournalKind::ProtectionEvent, 2, QStringLiteral("Срабатывание защиты"));
    EXPECT_EQ(counter(), QStringLiteral("Неквитированных: 2"));
    EXPECT_TRUE(child<QLabel>(form, "LabelUnacknowledged")->styleSheet().contains("background"));
    EXPECT_TRUE(sound.playing());

    // F12 opens the window: the high priority first, the relay by its tile and generator.
    QTest::keyClick(form, Qt::Key_F12);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(alarms()));
    ASSERT_EQ(table("TableAlarms")->rowCount(), 2);
    EXPECT_EQ(alarms()->shownIds(), (std::vector<QString>{QStringLiteral("protection_event_2"),
                                                          QStringLiteral("no_answer_3")}));
    const QString gen2 = form->station().devices.entry(2).GeneratorName;
    EXPECT_EQ(cellText("TableAlarms", 0, 0), QStringLiteral("06.12.2026 14:30:05"));
    EXPECT_EQ(cellText("TableAlarms", 0, 2), QStringLiteral("2 — ") + gen2);
    EXPECT_EQ(cellText("TableAlarms", 0, 4), QStringLiteral("высокий"));
    EXPECT_EQ(cellText("TableAlarms", 0, 5), QStringLiteral("Активна, не квитирована"));
    EXPECT_EQ(cellText("TableAlarms", 1, 4), QStringLiteral("низкий"));
    EXPECT_TRUE(table("TableAlarms")->item(0, 3)->font().bold());

    // Ctrl+Space in the alarm window stops the sound and acknowledges nothing.
    QTest::keyClick(alarms(), Qt::Key_Space, Qt::ControlModifier);
    EXPECT_TRUE(book().silenced());
    EXPECT_FALSE(sound.playing());
    EXPECT_EQ(counter(), QStringLiteral("Неквитированных: 2"));
    EXPECT_FALSE(button("BtnSilence")->isEnabled());

    // A protection event cannot be shelved, and the button says why.
    selectRow("TableAlarms", 0);
    EXPECT_FALSE(button("BtnShelve")->isEnabled());
    EXPECT_FALSE(button("BtnShelve")->toolTip().isEmpty());
    EXPECT_TRUE(button("BtnAcknowledge")->isEnabled());
    button("BtnAcknowledge")->click();
    // Acknowledged, the latched event is over: only the silent relay is left.
    EXPECT_EQ(counter(), QStringLiteral("Неквитированных: 1"));
    ASSERT_EQ(alarms()->shownIds(), std::vector<QString>{QStringLiteral("no_answer_3")});

    // The tile pop-up offers the alarm items only on a relay that has an alarm shown.
    for (const auto& [tile, has] : {std::pair{1, false}, std::pair{3, true}}) {
        QTest::mouseClick(form->tileGeneratorLabel(tile), Qt::LeftButton);
        QTest::mousePress(form->tileGeneratorLabel(tile), Qt::RightButton);
        ASSERT_TRUE(form->tilePopup()->isVisible());
        for (const char* name : {"NPAcknowledge", "NPSilence", "NPShelve"}) {
            EXPECT_EQ(child<QAction>(form, name)->isEnabled(), has) << tile << name;
        }
        form->tilePopup()->hide();
    }

    // A new high alarm sounds again; Ctrl+Space silences it from inside the modal shelving
    // dialog, where no shortcut of another window reaches.
    clock.time = clock.time.addSecs(5);
    record(JournalKind::ProtectionEvent, 4, QStringLiteral("Срабатывание защиты"));
    EXPECT_TRUE(sound.playing());
    alarms()->refresh();
    const int noAnswerRow = 1;
    ASSERT_EQ(alarms()->shownIds().at(noAnswerRow), QStringLiteral("no_answer_3"));
    selectRow("TableAlarms", noAnswerRow);
    ASSERT_TRUE(button("BtnShelve")->isEnabled());
    bool shelvedInDialog = false;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<TFormShelve*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        QTest::keyClick(dialog, Qt::Key_Space, Qt::ControlModifier);
        EXPECT_FALSE(sound.playing());
        auto* ok = child<QPushButton>(dialog, "BtnShelve");
        // No reason, no shelf; blanks are no reason.
        EXPECT_FALSE(ok->isEnabled());
        child<QLineEdit>(dialog, "EditReason")->setText(QStringLiteral("   "));
        EXPECT_FALSE(ok->isEnabled());
        child<QLineEdit>(dialog, "EditReason")->setText(QStringLiteral("Ремонт линии связи"));
        auto* hours = child<QComboBox>(dialog, "ComboHours");
        hours->setCurrentIndex(hours->findData(4));
        ASSERT_TRUE(ok->isEnabled());
        ok->click();
        shelvedInDialog = true;
    });
    button("BtnShelve")->click();
    ASSERT_TRUE(shelvedInDialog);
    EXPECT_EQ(alarms()->shownIds(), std::vector<QString>{QStringLiteral("protection_event_4")});
    ASSERT_EQ(alarms()->shelvedIds(), std::vector<QString>{QStringLiteral("no_answer_3")});
    EXPECT_EQ(cellText("TableShelved", 0, 0), QStringLiteral("4 ч 00 мин"));
    EXPECT_EQ(cellText("TableShelved", 0, 3), QStringLiteral("Ремонт линии связи"));
    EXPECT_EQ(counter(), QStringLiteral("Неквитированных: 1"));

    // The time left counts down by the clock; "Вернуть" takes it off the shelf.
    clock.time = clock.time.addSecs(3600);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return cellText("TableShelved", 0, 0) == QStringLiteral("3 ч 00 мин"); },
        3000 * testing::timeScale()));
    selectRow("TableShelved", 0);
    button("BtnUnshelve")->click();
    EXPECT_TRUE(alarms()->shelvedIds().empty());
    EXPECT_EQ(alarms()->shownIds().size(), 2u);

    // "Квитировать все" takes every shown row; the counter's red goes with the last.
    button("BtnAcknowledgeAll")->click();
    EXPECT_EQ(counter(), QStringLiteral("Неквитированных: 0"));
    EXPECT_FALSE(child<QLabel>(form, "LabelUnacknowledged")->styleSheet().contains("background"));
}

}  // namespace
}  // namespace terval
