#include "windows/main/form_main.h"
#include "windows/main/windowed_station.h"

#include <gtest/gtest.h>
#include <QApplication>
#include <QBitmap>
#include <QKeySequence>
#include <QMenuBar>
#include <QMessageBox>
#include <QPaintEvent>
#include <QTest>
#include <QTextBlock>
#include <QTimer>
#include <QToolTip>

#include "devices/device_editor.h"
#include "support/fakes.h"
#include "support/find_child.h"
#include "widgets/widget_led.h"
#include "windows/dialogs/form_about.h"
#include "windows/dialogs/form_dvig.h"
#include "windows/dialogs/form_message_box.h"
#include "windows/dialogs/form_vis.h"

namespace terval {
namespace {

using testing::child;

using testing::FixedClock;
using testing::RecordingMessageSink;
using testing::WorkFolder;

class FormMainTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { installFontSubstitutions(); }

    void start(int relays) {
        folder.addPictures();
        if (relays > 0) {
            DeviceTable t;
            for (int n = 1; n <= relays; ++n) {
                t.append(newDeviceEntry(n));
            }
            folder.write("gen.dat", t.toFileBytes());
        }
        windowed = std::make_unique<WindowedStation>(folder.dir(), messages, clock,
                                                     QLocale(QLocale::Russian, QLocale::Russia));
        form = &windowed->window();
    }
    void showActive() {
        form->show();
        QApplication::setActiveWindow(form);
        ASSERT_TRUE(QTest::qWaitForWindowActive(form));
    }
    // Runs `step` once the modal dialog that the next call opens is on the screen.
    static void whenModalShown(std::function<void(QWidget*)> step) {
        QTimer::singleShot(0, [step] {
            QWidget* modal = QApplication::activeModalWidget();
            ASSERT_NE(modal, nullptr);
            step(modal);
        });
    }
    bool enabled(MenuItem item) const { return form->menuAction(item)->isEnabled(); }
    bool masked(int i) const { return !form->tilePicture(i)->pixmap().mask().isNull(); }

    WorkFolder folder;
    RecordingMessageSink messages;
    FixedClock clock{QDateTime(QDate(2026, 12, 6), QTime(14, 30, 0))};
    // As main() has it: the station outlives its windows.
    std::unique_ptr<WindowedStation> windowed;
    TFormMain* form = nullptr;
};

TEST_F(FormMainTest, MenusCaptionsAndKeys) {
    start(3);
    EXPECT_EQ(form->windowTitle(), QStringLiteral("ТЕРВАЛ. Версия 1.33"));
    struct Expected {
        MenuItem item;
        const char* caption;
        const char* key;
    };
    const Expected items[] = {
        {MenuItem::NOptionNet, "Настройки связи", ""},
        {MenuItem::NSaveParam, "Сохранить параметры       ", "F2"},
        {MenuItem::NExit, "Выход", "Alt+X"},
        {MenuItem::NOPenWindow, "Открыть объект", "F3"},
        {MenuItem::NParam, "Параметры", "F4"},
        {MenuItem::NStatisticConnect, "Статистика связи", "F6"},
        {MenuItem::NAddNewObject, "Добавить новый объект      ", "F7"},
        {MenuItem::NDelObject, "Удалить объект", "F8"},
        {MenuItem::NPosition, "Расположение", "F5"},
        {MenuItem::NConnecting, "Установить связь", "F10"},
    };
    for (const Expected& e : items) {
        QAction* a = form->menuAction(e.item);
        EXPECT_EQ(a->text(), QString::fromUtf8(e.caption));
        EXPECT_EQ(a->shortcut(), QKeySequence(QString::fromLatin1(e.key))) << e.caption;
    }
    QStringList bar;
    for (QAction* a : form->menuBar()->actions()) {
        bar << a->text();
    }
    EXPECT_EQ(bar, (QStringList{"Настройки", "Объект", "Установить связь", "Описание программы"}));
    EXPECT_EQ(child<QAction>(form, "NPParam")->text(), QStringLiteral("Параметры "));
    EXPECT_EQ(child<QAction>(form, "NPStatisticConnect")->text(),
              QStringLiteral("Статистика связи        "));
    EXPECT_EQ(child<QAction>(form, "NPOpenWindow")->text(), QStringLiteral("Открыть окно"));
    // Each pop-up item shows the key that does the same from the main menu.
    EXPECT_EQ(child<QAction>(form, "NPParam")->shortcut(), QKeySequence(Qt::Key_F4));
    EXPECT_EQ(child<QAction>(form, "NPStatisticConnect")->shortcut(), QKeySequence(Qt::Key_F6));
    EXPECT_EQ(child<QAction>(form, "NPOpenWindow")->shortcut(), QKeySequence(Qt::Key_F3));

    // Mask 679 after a start with relays.
    EXPECT_TRUE(enabled(MenuItem::NOptionNet));
    EXPECT_TRUE(enabled(MenuItem::NSaveParam));
    EXPECT_TRUE(enabled(MenuItem::NConnecting));
    EXPECT_FALSE(enabled(MenuItem::NParam));
    EXPECT_FALSE(enabled(MenuItem::NDelObject));
    EXPECT_FALSE(enabled(MenuItem::NOPenWindow));
}

TEST_F(FormMainTest, TilesAndBottomPanelInPlace) {
    start(9);
    EXPECT_EQ(form->tilePicture(1)->pos(), QPoint(2, 10));
    EXPECT_EQ(form->tileBreakerLabel(1)->pos(), QPoint(50, 55));
    EXPECT_EQ(form->tileGeneratorLabel(1)->pos(), QPoint(50, 122));
    EXPECT_EQ(form->tileValueLabel(1)->pos(), QPoint(10, 160));
    EXPECT_EQ(form->tilePicture(7)->pos(), QPoint(962, 10));
    EXPECT_EQ(form->tilePicture(8)->pos(), QPoint(2, 210));
    EXPECT_EQ(form->tileGeneratorLabel(9)->pos(), QPoint(210, 322));
    EXPECT_EQ(form->tileGeneratorLabel(9)->text(), QStringLiteral("Ген. 9"));
    EXPECT_EQ(form->tileBreakerLabel(9)->text(), QStringLiteral("Выкл 9"));
    EXPECT_EQ(form->tileValueLabel(9)->text(), QStringLiteral("Riz9"));
    EXPECT_FALSE(form->tileValueLabel(9)->isVisibleTo(form));
    EXPECT_EQ(form->tilePicture(1)->size(), QSize(150, 190));
    EXPECT_EQ(form->tileGeneratorLabel(1)->font().pixelSize(), 16);
    EXPECT_TRUE(form->tileGeneratorLabel(1)->font().bold());
    // The labels lie over the picture.
    const QObjectList& children = child<QWidget>(form, "TileArea")->children();
    EXPECT_LT(children.indexOf(form->tilePicture(1)),
              children.indexOf(form->tileGeneratorLabel(1)));

    EXPECT_EQ(child<LedIndicator>(form, "ComLed")->geometry(), QRect(0, 0, 21, 25));
    EXPECT_EQ(child<QLabel>(form, "LabelPort")->geometry(), QRect(8, 24, 81, 21));
    EXPECT_EQ(child<QLabel>(form, "LabelPort")->text(), QStringLiteral("ЗАКРЫТ"));
    EXPECT_EQ(child<QLabel>(form, "LabelNum")->text(), QStringLiteral("COM 1"));
    EXPECT_EQ(child<LedIndicator>(form, "AbLEDTxD")->geometry(), QRect(12, 124, 49, 21));
    EXPECT_EQ(child<LedIndicator>(form, "AbLEDRxD")->geometry(), QRect(12, 148, 49, 21));
    EXPECT_EQ(child<QLabel>(form, "LabelD")->text(), QStringLiteral("06/12/2026"));
    EXPECT_EQ(child<QLabel>(form, "LabelT")->text(), QStringLiteral("14:30:00"));
    EXPECT_EQ(child<QTextEdit>(form, "RichEdit")->width(), 289);
    EXPECT_TRUE(child<QTextEdit>(form, "RichEdit")->isReadOnly());
    EXPECT_EQ(child<QWidget>(form, "ScrollBox1")->height(), 204);

    showActive();
    // The size the station sets is that of the whole window, frame included, and never more than
    // the screen has room for (the offscreen screen is small).
    const QSize expected = QSize(1145, 682).boundedTo(form->availableArea().size());
    EXPECT_EQ(form->requestedFrame().size(), expected);
    // The frame is known, and the size set again to fit it, only once the window is on the
    // screen and the event loop has come round to it.
    EXPECT_TRUE(QTest::qWaitFor([&] { return form->frameGeometry().size() == expected; }));
    EXPECT_EQ(form->frameGeometry().size(), expected);
    EXPECT_TRUE(form->availableArea().contains(form->requestedFrame()));
    EXPECT_FALSE(masked(1) && form->tilePicture(1)->pixmap().isNull());
}

// The broker and the control system's server at the right of the status bar: with the alarms'
// count beside them, at their widest (the broker's text is cut at 330 pixels), leave the link's
// line 300 pixels of a 1024-pixel screen. The test's screen is narrower than any plant's, so the
// budget is reckoned, not looked at.
TEST_F(FormMainTest, BrokerAndServerLeaveTheLinkItsShareOfTheStatusBar) {
    start(3);
    form->showBrokerState(QStringLiteral("MQTT 10.0.0.5:8883: нет связи с брокером: соединение "
                                         "отвергнуто узлом, повтор через 30 с"),
                          true);
    form->showServerState(QStringLiteral("Modbus-сервер: порт 65535, клиентов 200"));
    int taken = 0;
    for (const char* name : {"LabelBroker", "LabelServer", "LabelUnacknowledged"}) {
        QLabel* label = child<QLabel>(form, name);
        EXPECT_TRUE(label->isVisibleTo(form)) << name;
        taken += label->sizeHint().width();
    }
    EXPECT_LE(taken, 1024 - 300);
    EXPECT_EQ(child<QLabel>(form, "LabelServer")->text(),
              QStringLiteral("Modbus-сервер: порт 65535, клиентов 200"));
    form->showServerState(QString());
    EXPECT_FALSE(child<QLabel>(form, "LabelServer")->isVisibleTo(form));
}

TEST_F(FormMainTest, ClickSelectsOneTileAndRightClickOpensThePopupOnlyOnIt) {
    start(5);
    showActive();
    EXPECT_TRUE(masked(3));
    QTest::mouseClick(form->tilePicture(5), Qt::LeftButton);
    EXPECT_TRUE(form->tileDrawnSelected(5));
    EXPECT_FALSE(masked(5));
    EXPECT_TRUE(enabled(MenuItem::NDelObject));

    QTest::mouseClick(form->tileGeneratorLabel(3), Qt::LeftButton);
    EXPECT_TRUE(form->tileDrawnSelected(3));
    EXPECT_FALSE(form->tileDrawnSelected(5));
    EXPECT_TRUE(masked(5));
    EXPECT_EQ(form->station().devices.SelectedDevice, 3);

    // A right click elsewhere than on the selected tile's generator label opens nothing and
    // does not change the selection.
    QTest::mousePress(form->tileGeneratorLabel(5), Qt::RightButton);
    EXPECT_FALSE(form->tilePopup()->isVisible());
    QTest::mousePress(form->tilePicture(3), Qt::RightButton);
    EXPECT_FALSE(form->tilePopup()->isVisible());
    EXPECT_EQ(form->station().devices.SelectedDevice, 3);

    QTest::mousePress(form->tileGeneratorLabel(3), Qt::RightButton);
    EXPECT_TRUE(form->tilePopup()->isVisible());
    // With the link down there is no parameter window to open.
    EXPECT_FALSE(child<QAction>(form, "NPOpenWindow")->isEnabled());
    EXPECT_TRUE(child<QAction>(form, "NPParam")->isEnabled());
    // The pop-ups read in the menu bar's font, not the larger default of a window of their own.
    EXPECT_EQ(form->tilePopup()->font().pixelSize(), form->menuBar()->font().pixelSize());
    form->tilePopup()->hide();

    // For looking at the window as an operator would: TERVAL_SCREENSHOTS=folder.
    const QString shots = qEnvironmentVariable("TERVAL_SCREENSHOTS");
    if (!shots.isEmpty()) {
        form->controller().setTileState(2, kTileEvent);
        form->controller().setTileValue(2, QStringLiteral("1250"));
        form->controller().setTileState(3, kTileAnswering);
        form->controller().setTileValue(3, QStringLiteral("48"));
        form->grab().save(shots + QStringLiteral("/main-window.png"));
        QTest::mousePress(form->tileGeneratorLabel(3), Qt::RightButton);
        form->tilePopup()->grab().save(shots + QStringLiteral("/tile-popup.png"));
        form->tilePopup()->hide();
    }
}

TEST_F(FormMainTest, MainMenuKeysActAnywhereAndPopupKeysOnlyWhileItIsOpen) {
    start(2);
    showActive();
    QTest::mouseClick(form->tilePicture(2), Qt::LeftButton);
    // F2 is "Сохранить параметры" in the main window, not the tile pop-up's "Параметры ".
    QTest::keyClick(form, Qt::Key_F2);
    EXPECT_EQ(messages.texts(), QStringList{QStringLiteral("Параметры сохранены!")});
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);

    // The pop-up's "Параметры " names F4, and F4 opens the device dialog with the pop-up open
    // and in the main window alike.
    ASSERT_EQ(child<QAction>(form, "NPParam")->shortcut(), QKeySequence(Qt::Key_F4));
    QTest::mousePress(form->tileGeneratorLabel(2), Qt::RightButton);
    ASSERT_TRUE(form->tilePopup()->isVisible());
    bool dialogOpened = false;
    whenModalShown([&dialogOpened](QWidget* modal) {
        dialogOpened = qobject_cast<TFormDvig*>(modal) != nullptr;
        static_cast<QDialog*>(modal)->reject();
    });
    QTest::keyClick(form->tilePopup(), Qt::Key_F4);
    EXPECT_TRUE(dialogOpened);
    EXPECT_EQ(messages.texts().size(), 1);
    QApplication::setActiveWindow(form);
    ASSERT_TRUE(QTest::qWaitForWindowActive(form));
    dialogOpened = false;
    whenModalShown([&dialogOpened](QWidget* modal) {
        dialogOpened = qobject_cast<TFormDvig*>(modal) != nullptr;
        static_cast<QDialog*>(modal)->reject();
    });
    QTest::keyClick(form, Qt::Key_F4);
    EXPECT_TRUE(dialogOpened);

    // F10 is "Установить связь" (here a port that does not exist), and only that.
    form->station().connection.portName = QStringLiteral("COM96");
    form->core().link.serialSettings().portName = QStringLiteral("COM96");
    QApplication::setActiveWindow(form);
    ASSERT_TRUE(QTest::qWaitForWindowActive(form));
    QTest::keyClick(form, Qt::Key_F10);
    EXPECT_EQ(messages.texts().last(), QStringLiteral("Не могу открыть СОМ порт"));
}

TEST_F(FormMainTest, DeviceDialogEditsTheSelectedRelay) {
    start(3);
    QTest::mouseClick(form->tilePicture(2), Qt::LeftButton);
    TFormDvig* dvig = child<TFormDvig>(form, "FormDvig");
    EXPECT_EQ(dvig->windowTitle(), QStringLiteral("Параметры"));

    dvig->FormShow();
    EXPECT_EQ(child<QLineEdit>(dvig, "EditName")->text(), QStringLiteral("Ген. 2"));
    EXPECT_EQ(child<QSpinBox>(dvig, "SEAddress")->value(), 2);
    EXPECT_FALSE(child<QPushButton>(dvig, "ButtonOk")->isVisibleTo(dvig));
    EXPECT_EQ(child<QPushButton>(dvig, "ButtonCancel")->text(), QStringLiteral("OK"));

    child<QLineEdit>(dvig, "EditName")->setText(QStringLiteral("Ген. 1"));
    EXPECT_TRUE(child<QPushButton>(dvig, "ButtonOk")->isVisibleTo(dvig));
    EXPECT_EQ(child<QPushButton>(dvig, "ButtonCancel")->text(), QStringLiteral("Отменить"));
    dvig->ButtonOkClick();
    EXPECT_EQ(messages.texts(),
              QStringList{QStringLiteral("Двигатель с таким названием уже существует!")});
    EXPECT_EQ(child<QLineEdit>(dvig, "EditName")->text(), QStringLiteral("Ген. 2"));
    EXPECT_EQ(child<QPushButton>(dvig, "ButtonCancel")->text(), QStringLiteral("Отменить"));

    child<QSpinBox>(dvig, "SEAddress")->setValue(3);
    dvig->ButtonOkClick();
    EXPECT_EQ(messages.texts().last(),
              QStringLiteral("Устройство с таким адресом уже существует!"));
    EXPECT_EQ(child<QSpinBox>(dvig, "SEAddress")->value(), 2);

    child<QLineEdit>(dvig, "EditSwitch")->setText(QStringLiteral("Q-22"));
    dvig->ButtonCancelClick();  // "Отменить": the stored values come back, the dialog stays
    EXPECT_EQ(child<QLineEdit>(dvig, "EditSwitch")->text(), QStringLiteral("Выкл 2"));
    EXPECT_EQ(child<QPushButton>(dvig, "ButtonCancel")->text(), QStringLiteral("OK"));
    EXPECT_FALSE(dvig->applied());

    // Through the menu: apply a new name, then Escape; the tile shows it.
    whenModalShown([](QWidget* modal) {
        auto* d = qobject_cast<TFormDvig*>(modal);
        ASSERT_NE(d, nullptr);
        child<QLineEdit>(d, "EditName")->setText(QStringLiteral("  ТГ-2 "));
        d->ButtonOkClick();
        EXPECT_TRUE(d->applied());
        EXPECT_EQ(child<QPushButton>(d, "ButtonCancel")->text(), QStringLiteral("OK"));
        QTest::keyClick(child<QLineEdit>(d, "EditSwitch"), Qt::Key_Escape);
    });
    form->NParamClick();
    EXPECT_EQ(form->tileGeneratorLabel(2)->text(), QStringLiteral("ТГ-2"));
    EXPECT_EQ(loadDeviceFile(folder.dir()).table.entry(2).GeneratorName, QStringLiteral("ТГ-2"));
}

TEST_F(FormMainTest, DeviceDialogByKeyboardOnly) {
    start(2);
    QTest::mouseClick(form->tilePicture(1), Qt::LeftButton);
    whenModalShown([](QWidget* modal) {
        auto* d = qobject_cast<TFormDvig*>(modal);
        ASSERT_NE(d, nullptr);
        QApplication::setActiveWindow(d);
        ASSERT_TRUE(QTest::qWaitForWindowActive(d));
        ASSERT_TRUE(child<QLineEdit>(d, "EditName")->hasFocus());
        // Nothing changed: Enter moves on over the hidden "Применить" to "OK", Tab and Shift+Tab
        // go both ways.
        QTest::keyClick(child<QLineEdit>(d, "EditName"), Qt::Key_Return);
        EXPECT_TRUE(child<QLineEdit>(d, "EditSwitch")->hasFocus());
        QTest::keyClick(child<QLineEdit>(d, "EditSwitch"), Qt::Key_Backtab);
        EXPECT_TRUE(child<QLineEdit>(d, "EditName")->hasFocus());
        QTest::keyClick(child<QLineEdit>(d, "EditName"), Qt::Key_Tab);
        QTest::keyClick(child<QLineEdit>(d, "EditSwitch"), Qt::Key_Return);
        EXPECT_TRUE(child<QSpinBox>(d, "SEAddress")->hasFocus());
        QTest::keyClick(child<QSpinBox>(d, "SEAddress"), Qt::Key_Return);
        EXPECT_TRUE(child<QPushButton>(d, "ButtonCancel")->hasFocus());

        // Delete and Home work in a name; an address typed past the limit is the limit, and
        // Enter on the focused "Применить" applies.
        child<QLineEdit>(d, "EditName")->setFocus();
        QTest::keyClick(child<QLineEdit>(d, "EditName"), Qt::Key_Home);
        QTest::keyClick(child<QLineEdit>(d, "EditName"), Qt::Key_Delete);
        EXPECT_EQ(child<QLineEdit>(d, "EditName")->text(), QStringLiteral("ен. 1"));
        QTest::sendKeyEvent(QTest::Click, child<QLineEdit>(d, "EditName"), Qt::Key_unknown,
                            QStringLiteral("Т"), Qt::NoModifier);
        QTest::keyClick(child<QLineEdit>(d, "EditName"), Qt::Key_Return);
        QTest::keyClick(child<QLineEdit>(d, "EditSwitch"), Qt::Key_Return);
        child<QSpinBox>(d, "SEAddress")->selectAll();
        QTest::keyClicks(child<QSpinBox>(d, "SEAddress"), "300");
        QTest::keyClick(child<QSpinBox>(d, "SEAddress"), Qt::Key_Return);
        EXPECT_EQ(child<QSpinBox>(d, "SEAddress")->value(), 246);
        ASSERT_TRUE(child<QPushButton>(d, "ButtonOk")->hasFocus());
        QTest::keyClick(child<QPushButton>(d, "ButtonOk"), Qt::Key_Return);
        EXPECT_TRUE(d->applied());
        EXPECT_FALSE(child<QPushButton>(d, "ButtonOk")->isVisible());
        EXPECT_TRUE(d->isVisible());

        // Enter on the focused "OK" closes with the change applied.
        child<QPushButton>(d, "ButtonCancel")->setFocus();
        QTest::keyClick(child<QPushButton>(d, "ButtonCancel"), Qt::Key_Enter, Qt::KeypadModifier);
        EXPECT_FALSE(d->isVisible());
    });
    form->NParamClick();
    EXPECT_EQ(child<TFormDvig>(form, "FormDvig")->result(), QDialog::Accepted);
    const DeviceEntry stored = loadDeviceFile(folder.dir()).table.entry(1);
    EXPECT_EQ(stored.GeneratorName, QStringLiteral("Тен. 1"));
    EXPECT_EQ(stored.Address, 246);
    EXPECT_EQ(form->tileGeneratorLabel(1)->text(), QStringLiteral("Тен. 1"));
}

TEST_F(FormMainTest, GridDialogByKeyboardOnly) {
    start(3);
    whenModalShown([](QWidget* modal) {
        auto* v = qobject_cast<TFormVis*>(modal);
        ASSERT_NE(v, nullptr);
        v->setScreenSize(QSize(3000, 2400));
        QApplication::setActiveWindow(v);
        ASSERT_TRUE(QTest::qWaitForWindowActive(v));
        ASSERT_TRUE(child<QSpinBox>(v, "SpinEdit1")->hasFocus());
        // Enter on a spin box brings the typed value to the nearer limit and moves on.
        child<QSpinBox>(v, "SpinEdit1")->selectAll();
        QTest::keyClicks(child<QSpinBox>(v, "SpinEdit1"), "20");
        QTest::keyClick(child<QSpinBox>(v, "SpinEdit1"), Qt::Key_Return);
        EXPECT_EQ(child<QSpinBox>(v, "SpinEdit1")->value(), 15);
        EXPECT_TRUE(child<QSpinBox>(v, "SpinEdit2")->hasFocus());
        // Leaving a box with Tab does the same.
        child<QSpinBox>(v, "SpinEdit2")->selectAll();
        QTest::keyClicks(child<QSpinBox>(v, "SpinEdit2"), "0");
        QTest::keyClick(child<QSpinBox>(v, "SpinEdit2"), Qt::Key_Tab);
        EXPECT_EQ(child<QSpinBox>(v, "SpinEdit2")->value(), 1);
        EXPECT_TRUE(child<QPushButton>(v, "ButOk")->hasFocus());
        QTest::keyClick(child<QPushButton>(v, "ButOk"), Qt::Key_Return);
    });
    form->NPositionClick();
    EXPECT_EQ(child<TFormVis>(form, "FormVis")->result(), QDialog::Accepted);
    EXPECT_EQ(form->station().params.TileColumns, 15);
    EXPECT_EQ(form->station().params.VisibleRows, 1);
}

TEST_F(FormMainTest, WideNamesEndBeforeTheNextTileAndShowWholeUnderThePointer) {
    start(2);
    const QString wide = QStringLiteral("ЖЖЖЖЖШШШШШ");
    form->showTileNames(1, wide, QStringLiteral("Q1"));
    QLabel* name = form->tileGeneratorLabel(1);
    EXPECT_LE(name->geometry().right(), form->tilePicture(2)->x());
    EXPECT_TRUE(name->text().endsWith(QChar(0x2026)));
    EXPECT_EQ(name->toolTip(), wide);
    EXPECT_TRUE(form->tileBreakerLabel(1)->toolTip().isEmpty());
    form->showTileNames(1, QStringLiteral("Ген. 1"), QStringLiteral("Q1"));
    EXPECT_EQ(name->text(), QStringLiteral("Ген. 1"));
    EXPECT_TRUE(name->toolTip().isEmpty());

    // The device dialog has room for the widest name the record holds.
    TFormDvig* dvig = child<TFormDvig>(form, "FormDvig");
    child<QLineEdit>(dvig, "EditName")->setText(wide);
    dvig->adjustSize();
    EXPECT_GE(child<QLineEdit>(dvig, "EditName")->width(),
              child<QLineEdit>(dvig, "EditName")->fontMetrics().horizontalAdvance(wide) + 8);
}

TEST_F(FormMainTest, GridDialogChecksTheScreenAndRegridsTheTiles) {
    start(12);
    TFormVis* vis = child<TFormVis>(form, "FormVis");
    EXPECT_EQ(vis->windowTitle(), QStringLiteral("Размер окна"));
    vis->setScreenSize(QSize(1024, 768));
    vis->FormShow();
    EXPECT_EQ(child<QSpinBox>(vis, "SpinEdit1")->value(), 7);
    EXPECT_EQ(child<QSpinBox>(vis, "SpinEdit2")->value(), 3);
    child<QSpinBox>(vis, "SpinEdit1")->setValue(8);
    vis->ButOkClick();
    EXPECT_EQ(messages.texts(),
              QStringList{QStringLiteral("Столько столбцов не поместится на экране!")});
    child<QSpinBox>(vis, "SpinEdit1")->setValue(7);
    child<QSpinBox>(vis, "SpinEdit2")->setValue(4);
    vis->ButOkClick();
    EXPECT_EQ(messages.texts().last(), QStringLiteral("Столько строк не поместится на экране!"));
    EXPECT_EQ(form->station().params.VisibleRows, 3);

    QTest::mouseClick(form->tilePicture(6), Qt::LeftButton);
    whenModalShown([](QWidget* modal) {
        auto* v = qobject_cast<TFormVis*>(modal);
        ASSERT_NE(v, nullptr);
        child<QSpinBox>(v, "SpinEdit1")->setValue(5);
        v->ButOkClick();
    });
    form->NPositionClick();
    EXPECT_EQ(form->station().params.TileColumns, 5);
    EXPECT_EQ(form->tilePicture(6)->pos(), QPoint(2, 210));
    EXPECT_TRUE(form->tileDrawnSelected(6));
    EXPECT_EQ(form->requestedFrame().width(), std::min(825, form->availableArea().width()));
}

TEST_F(FormMainTest, EmptyTableAddAndDelete) {
    start(0);
    EXPECT_TRUE(enabled(MenuItem::NAddNewObject));
    EXPECT_FALSE(enabled(MenuItem::NConnecting));
    EXPECT_FALSE(enabled(MenuItem::NSaveParam));
    form->NAddNewObjectClick();
    ASSERT_NE(form->tilePicture(1), nullptr);
    EXPECT_EQ(form->tileGeneratorLabel(1)->text(), QStringLiteral("Ген. 1"));
    EXPECT_TRUE(enabled(MenuItem::NConnecting));
    QTest::mouseClick(form->tilePicture(1), Qt::LeftButton);
    EXPECT_TRUE(enabled(MenuItem::NParam));
    EXPECT_TRUE(enabled(MenuItem::NStatisticConnect));
    form->NDelObjectClick();
    EXPECT_EQ(form->tilePicture(1), nullptr);
    EXPECT_FALSE(enabled(MenuItem::NParam));
    EXPECT_FALSE(enabled(MenuItem::NStatisticConnect));
    EXPECT_EQ(folder.read("gen.dat").size(), 0);
    EXPECT_EQ(form->requestedFrame().size(), QSize(505, 351));
}

TEST_F(FormMainTest, AboutWindowShowsTheVersion) {
    start(1);
    whenModalShown([](QWidget* modal) {
        ASSERT_NE(qobject_cast<TFormAbout*>(modal), nullptr);
        QStringList texts;
        for (QLabel* l : modal->findChildren<QLabel*>()) {
            texts << l->text();
        }
        EXPECT_TRUE(texts.contains(QStringLiteral("Версия программы 1.33")));
        // Only what the build knows: its date and the repository's address, or that it has none.
        const QString built = texts.filter(QStringLiteral("Дата сборки: ")).value(0);
        EXPECT_TRUE(QDate::fromString(built.mid(13), QStringLiteral("dd.MM.yyyy")).isValid())
            << qPrintable(built);
        const QString source = texts.filter(QStringLiteral("Исходный код: ")).value(0).mid(14);
        EXPECT_TRUE(source == QStringLiteral("не указан") || source.startsWith(u"http"))
            << qPrintable(source);
        EXPECT_FALSE(texts.join(u' ').contains(QStringLiteral("example")));
        static_cast<QDialog*>(modal)->reject();
    });
    form->N4Click();
}

// Counts the paint events of one widget and keeps where the last one fell.
class PaintWatch : public QObject {
  public:
    explicit PaintWatch(QWidget* widget) : widget_(widget) { widget->installEventFilter(this); }
    int paints = 0;
    QRect last;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == widget_ && event->type() == QEvent::Paint) {
            ++paints;
            last = static_cast<QPaintEvent*>(event)->rect();
        }
        return false;
    }

  private:
    QWidget* widget_;
};

TEST_F(FormMainTest, WhatIsShownAgainIsNotDrawnAgain) {
    start(2);
    showActive();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return form->frameGeometry().size() == form->requestedFrame().size(); }));
    PaintWatch picture(form->tilePicture(1));
    PaintWatch value(form->tileValueLabel(1));
    PaintWatch lamp(child<LedIndicator>(form, "AbLEDTxD"));
    // The window draws all that waits in one pass: once the other lamp has been drawn after a
    // step, whatever the step asked to be drawn has been drawn too.
    PaintWatch marker(child<LedIndicator>(form, "AbLEDRxD"));
    bool markerLit = false;
    auto drawn = [&] {
        marker.paints = 0;
        markerLit = !markerLit;
        form->setLed(MainView::Led::RxD, markerLit);
        return QTest::qWaitFor([&] { return marker.paints > 0; });
    };
    ASSERT_TRUE(drawn());

    picture.paints = value.paints = lamp.paints = 0;
    form->showTileState(1, kTileAnswering);
    form->showTileValue(1, QStringLiteral("125"), true);
    form->setLed(MainView::Led::TxD, true);
    ASSERT_TRUE(drawn());
    EXPECT_GT(picture.paints, 0);
    EXPECT_GT(value.paints, 0);
    EXPECT_GT(lamp.paints, 0);
    // A blink draws the lamp, not the caption beside it.
    EXPECT_LT(lamp.last.width(), child<LedIndicator>(form, "AbLEDTxD")->width() / 2);

    picture.paints = value.paints = lamp.paints = 0;
    form->showTileState(1, kTileAnswering);
    form->drawTileSelected(1, false);
    form->showTileValue(1, QStringLiteral("125"), true);
    form->setLed(MainView::Led::TxD, true);
    ASSERT_TRUE(drawn());
    EXPECT_EQ(picture.paints, 0);
    EXPECT_EQ(value.paints, 0);
    EXPECT_EQ(lamp.paints, 0);
}

}  // namespace
}  // namespace terval

namespace terval {
namespace {

class FormMainAlarmLog : public FormMainTest {
  protected:
    void addLines() {
        MainController& main = form->controller();
        main.enableAlarmCommands();
        main.addAlarmLine(QStringLiteral("01.03.2026 10:00:00  : Ген. 3,Обрыв цепи"));
        main.addAlarmLine(QStringLiteral("02.03.2026 11:00:00  : Ген. 1,Реле ОТКЛЮЧЕНИЯ"));
    }
    QColor colorOfLine(int line) {
        QTextBlock block = child<QTextEdit>(form, "RichEdit")->document()->findBlockByNumber(line);
        return block.begin().fragment().charFormat().foreground().color();
    }
};

TEST_F(FormMainAlarmLog, NewLinesAreRedOnTopAndSelected) {
    start(3);
    showActive();
    addLines();
    EXPECT_EQ(child<QTextEdit>(form, "RichEdit")->toPlainText(),
              QStringLiteral("02.03.2026 11:00:00  : Ген. 1,Реле ОТКЛЮЧЕНИЯ\n"
                             "01.03.2026 10:00:00  : Ген. 3,Обрыв цепи"));
    EXPECT_EQ(colorOfLine(0), QColor(Qt::red));
    EXPECT_EQ(child<QTextEdit>(form, "RichEdit")->textCursor().selectedText(),
              QStringLiteral("02.03.2026 11:00:00  : Ген. 1,Реле ОТКЛЮЧЕНИЯ"));
    EXPECT_TRUE(child<QAction>(form, "NDelIns")->isEnabled());
    EXPECT_TRUE(child<QAction>(form, "NDelAll")->isEnabled());
    EXPECT_EQ(child<QAction>(form, "NDelList")->text(),
              QStringLiteral("Удалить выбранную аварию   D"));
}

TEST_F(FormMainAlarmLog, ClickKeysAndPopupCommandsWorkOnTheLog) {
    start(3);
    showActive();
    addLines();
    QWidget* viewport = child<QTextEdit>(form, "RichEdit")->viewport();
    const QRect second =
        child<QTextEdit>(form, "RichEdit")
            ->cursorRect(
                QTextCursor(child<QTextEdit>(form, "RichEdit")->document()->findBlockByNumber(1)));
    QTest::mouseClick(viewport, Qt::LeftButton, {}, second.center() + QPoint(20, 0));
    EXPECT_EQ(form->station().alarmLog.selectedLine(), 1);
    EXPECT_EQ(form->station().devices.SelectedDevice, 3);
    EXPECT_TRUE(form->tileDrawnSelected(3));

    // The log is narrower than its lines: the one under the pointer is shown whole.
    QHelpEvent help(QEvent::ToolTip, second.center(), viewport->mapToGlobal(second.center()));
    QApplication::sendEvent(viewport, &help);
    EXPECT_EQ(QToolTip::text(), QStringLiteral("01.03.2026 10:00:00  : Ген. 3,Обрыв цепи"));
    QToolTip::hideText();

    // A double click selects as a click does, and leaves no word selected.
    const QRect first =
        child<QTextEdit>(form, "RichEdit")
            ->cursorRect(
                QTextCursor(child<QTextEdit>(form, "RichEdit")->document()->findBlockByNumber(0)));
    QTest::mouseDClick(viewport, Qt::LeftButton, {}, first.center() + QPoint(20, 0));
    EXPECT_EQ(form->station().alarmLog.selectedLine(), 0);
    EXPECT_EQ(form->station().devices.SelectedDevice, 1);
    EXPECT_EQ(child<QTextEdit>(form, "RichEdit")->textCursor().selectedText(),
              QStringLiteral("02.03.2026 11:00:00  : Ген. 1,Реле ОТКЛЮЧЕНИЯ"));

    child<QTextEdit>(form, "RichEdit")->setFocus();
    QTest::keyClick(child<QTextEdit>(form, "RichEdit"), Qt::Key_Up);
    EXPECT_EQ(form->station().alarmLog.selectedLine(), 0);
    EXPECT_EQ(form->station().devices.SelectedDevice, 1);

    QTest::keyClick(child<QTextEdit>(form, "RichEdit"), Qt::Key_Insert);
    EXPECT_EQ(colorOfLine(0), QColor(0x00, 0x80, 0x00));
    EXPECT_EQ(colorOfLine(1), QColor(Qt::red));

    QTest::keyClick(child<QTextEdit>(form, "RichEdit"), Qt::Key_Delete);
    EXPECT_EQ(child<QTextEdit>(form, "RichEdit")->toPlainText(),
              QStringLiteral("01.03.2026 10:00:00  : Ген. 3,Обрыв цепи"));

    child<QAction>(form, "NDelAll")->trigger();
    EXPECT_TRUE(child<QTextEdit>(form, "RichEdit")->toPlainText().isEmpty());
    EXPECT_FALSE(child<QAction>(form, "NDelIns")->isEnabled());
}

// A box that is no longer true closes itself, and one still waiting is never shown; the others
// are shown in turn.
TEST(MessageBoxSinkTest, WithdrawnMessageClosesItsBoxAndOneWaitingIsNeverShown) {
    MessageBoxSink sink;
    const QString lost = QStringLiteral("Связь с СОМ портом COM3 потеряна.\nустройство исчезло");
    sink.showMessage(MessageIcon::Error, lost);
    sink.showMessage(MessageIcon::Error, QStringLiteral("Не могу открыть СОМ порт"));
    sink.showMessage(MessageIcon::Warning, QStringLiteral("Параметры сохранены!"));
    QStringList shown;
    QTimer look;
    look.setInterval(10);
    QObject::connect(&look, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || box->property("seen").toBool()) {
            return;
        }
        box->setProperty("seen", true);
        shown << box->text();
        if (box->text() == lost) {
            // The link is back while its box is up, and before the next box came.
            sink.withdrawMessage(QStringLiteral("Не могу открыть СОМ порт"));
            sink.withdrawMessage(lost);
        } else {
            box->accept();
        }
    });
    look.start();
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return shown.size() == 2 && QApplication::activeModalWidget() == nullptr; }, 10000));
    EXPECT_EQ(shown, (QStringList{lost, QStringLiteral("Параметры сохранены!")}));
}

}  // namespace
}  // namespace terval
