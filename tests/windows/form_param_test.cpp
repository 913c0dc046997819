#include "windows/param/form_param.h"

#include <gtest/gtest.h>
#include <QApplication>
#include <QFile>
#include <QGridLayout>
#include <QLineEdit>
#include <QTest>

#include "modbus/register_map.h"
#include "param/fake_relay.h"
#include "param/param_controls.h"
#include "param/recording_param_view.h"
#include "param/setpoint_limits.h"
#include "support/find_child.h"
#include "widgets/widget_led.h"
#include "widgets/widget_page_control.h"
#include "windows/dialogs/form_stat.h"
#include "windows/main/form_main.h"

namespace terval {
namespace {

using testing::child;

using testing::FakeRelay;
using testing::Request;
using testing::Rig;

// The parameter window of relay 2 of three, over the rig's fake TCP socket.
class FormParamTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { installFontSubstitutions(); }

    void SetUp() override {
        rig.core().main.NEWbmpClick(2);
        rig.connect();
        exchange(1);
        form = std::make_unique<TFormParam>(rig.core(), nullptr);
    }
    void TearDown() override {
        form.reset();
        rig.core().dispatcher.setParamWindow(nullptr);
    }

    QVector<Request> exchange(int n) { return relay.exchange(rig, 2, n); }
    void exchangeUntilRead(int reg) { relay.exchangeUntilRead(rig, 2, reg); }
    void openActive() {
        form->prepareOpen();
        form->show();
        QApplication::setActiveWindow(form.get());
        ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    }
    void openAndReadEverything() {
        openActive();
        exchange(7);
        ASSERT_FALSE(rig.poll().InitialRead());
    }
    QLabel* label(const char* name) const {
        return form->findChild<QLabel*>(QString::fromLatin1(name));
    }
    QString text(const char* name) const {
        QLabel* l = label(name);
        return l ? l->text() : QStringLiteral("<missing %1>").arg(QString::fromLatin1(name));
    }
    void clickTab(int page) {
        PageTabBar* bar = child<PageControl>(form.get(), "PageControl1")->tabBar();
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(page).center());
    }
    // The caption written on the left of a panel's row.
    static QString captionBeside(QWidget* panel) {
        auto* grid = panel ? qobject_cast<QGridLayout*>(panel->parentWidget()->layout()) : nullptr;
        const int index = grid ? grid->indexOf(panel) : -1;
        if (index < 0) {
            return QStringLiteral("<no row>");
        }
        int row = 0, column = 0, rows = 0, columns = 0;
        grid->getItemPosition(index, &row, &column, &rows, &columns);
        QLayoutItem* item = grid->itemAtPosition(row, 0);
        auto* caption = item ? qobject_cast<QLabel*>(item->widget()) : nullptr;
        return caption ? caption->text() : QStringLiteral("<no caption>");
    }
    static QColor background(QWidget* w) { return w->palette().color(QPalette::Window); }
    static QColor foreground(QWidget* w) { return w->palette().color(QPalette::WindowText); }
    void saveShot(const QString& name) {
        const QString shots = qEnvironmentVariable("TERVAL_SCREENSHOTS");
        if (!shots.isEmpty()) {
            form->grab().save(shots + QLatin1Char('/') + name);
        }
    }

    Rig rig{3};
    FakeRelay relay;
    std::unique_ptr<TFormParam> form;
};

TEST_F(FormParamTest, OpensOnTheCurrentParametersAsTheFirstFullReadArrives) {
    child<QPushButton>(form.get(), "BtnCreateFileProt")->setEnabled(false);
    openActive();
    EXPECT_TRUE(rig.poll().ParamWindowOpen());
    EXPECT_TRUE(child<QPushButton>(form.get(), "BtnCreateFileProt")->isEnabled());
    EXPECT_EQ(child<PageControl>(form.get(), "PageControl1")->activePage(), -1);
    for (int page = 0; page < 5; ++page) {
        EXPECT_FALSE(child<PageControl>(form.get(), "PageControl1")->isTabVisible(page)) << page;
    }
    EXPECT_EQ(text("LabelName"), QStringLiteral("Ген. 2"));
    EXPECT_FALSE(child<QPushButton>(form.get(), "BtnSaveDT")->isEnabled());
    EXPECT_TRUE(child<QTimer>(form.get(), "Timer1")->isActive());
    EXPECT_EQ(child<QTimer>(form.get(), "Timer1")->interval(), 500);
    EXPECT_FALSE(label("PanPar_1")->isVisible());
    EXPECT_EQ(text("LabNumbProt"), QStringLiteral("256"));
    saveShot(QStringLiteral("param-opening.png"));

    exchange(3);  // the background answer in flight, then current parameters and setpoints
    QApplication::processEvents();
    const QSize onFirstPage = form->size();
    EXPECT_TRUE(child<PageControl>(form.get(), "PageControl1")->isTabVisible(0));
    EXPECT_TRUE(child<PageControl>(form.get(), "PageControl1")->isTabVisible(2));
    EXPECT_FALSE(child<PageControl>(form.get(), "PageControl1")->isTabVisible(3));
    exchange(4);
    for (int page = 0; page < 5; ++page) {
        EXPECT_TRUE(child<PageControl>(form.get(), "PageControl1")->isTabVisible(page)) << page;
    }
    EXPECT_EQ(child<PageControl>(form.get(), "PageControl1")->tabText(0),
              QStringLiteral(" Текущие параметры "));
    EXPECT_EQ(child<PageControl>(form.get(), "PageControl1")->tabText(1),
              QStringLiteral(" Уставки "));
    EXPECT_EQ(child<PageControl>(form.get(), "PageControl1")->tabText(2),
              QStringLiteral(" Настройки "));
    EXPECT_EQ(child<PageControl>(form.get(), "PageControl1")->tabText(3),
              QStringLiteral(" Протоколы срабатывания защиты "));
    EXPECT_EQ(child<PageControl>(form.get(), "PageControl1")->tabText(4),
              QStringLiteral(" Протоколы изменения сопротивления "));
    // The current parameters are on show from their first answer, not an empty pane.
    EXPECT_EQ(child<PageControl>(form.get(), "PageControl1")->activePage(), 0);
    EXPECT_TRUE(child<QWidget>(form.get(), "TabSheet1")->isVisible());
    EXPECT_EQ(rig.poll().activePage(), kPageCurrent);
    EXPECT_TRUE(label("PanPar_1")->isVisible());
    EXPECT_TRUE(label("LabPar_6")->isVisible());
    EXPECT_EQ(text("PanPar_6"), QStringLiteral("17/06/2019"));
    // The window keeps its size whatever else arrives.
    QApplication::processEvents();
    EXPECT_EQ(form->size(), onFirstPage);

    EXPECT_EQ(child<QDateEdit>(form.get(), "DatePicker")->date(), QDate(2026, 3, 9));
    EXPECT_EQ(child<QTimeEdit>(form.get(), "TimePicker")->time(), QTime(7, 5, 0));
    EXPECT_FALSE(child<QPushButton>(form.get(), "BtnSaveDT")
                     ->isEnabled());  // loading the pickers is not the operator's change
    // Words without a panel change nothing; the hidden line-speed panel still takes its word.
    EXPECT_EQ(form->findChild<QWidget*>(QStringLiteral("PanUst4")), nullptr);
    EXPECT_FALSE(label("PanUst3")->isVisibleTo(form.get()));
    EXPECT_EQ(text("PanUst3"), QStringLiteral("3"));
    EXPECT_EQ(
        form->findChild<QGroupBox*>(QStringLiteral("GroupBoxProtSign"))->isVisibleTo(form.get()),
        false);
}

TEST_F(FormParamTest, EveryPageShowsItsValuesAndPageFourAcknowledges) {
    openAndReadEverything();
    rig.core().main.setTileState(2, kTileEvent);
    const struct {
        int page;
        QWidget* sheet;
        const char* shotName;
    } pages[] = {{0, child<QWidget>(form.get(), "TabSheet1"), "param-page0.png"},
                 {1, child<QWidget>(form.get(), "TabSheet2"), "param-page1.png"},
                 {2, child<QWidget>(form.get(), "TabSheet3"), "param-page2.png"},
                 {3, child<QWidget>(form.get(), "TabSheet6"), "param-page3.png"},
                 {4, child<QWidget>(form.get(), "TabSheet4"), "param-page4.png"}};
    for (const auto& p : pages) {
        clickTab(p.page);
        EXPECT_EQ(child<PageControl>(form.get(), "PageControl1")->activePage(), p.page);
        EXPECT_EQ(rig.poll().activePage(), p.page);
        EXPECT_TRUE(p.sheet->isVisible()) << p.page;
        EXPECT_EQ(rig.station().tile(2).state, p.page == 4 ? kTileAnswering : kTileEvent);
        saveShot(QString::fromLatin1(p.shotName));
    }
    EXPECT_EQ(text("PanPar27"), QStringLiteral("1480"));
    EXPECT_EQ(text("PanPar28"), QStringLiteral("230.4"));
    EXPECT_EQ(text("LabelDTDefence"), QStringLiteral("09.03.2026   07:05:00"));
    EXPECT_EQ(text("LabDTSys"), QStringLiteral("15.03.2026   12:00:00"));
    EXPECT_TRUE(form->findChild<LedIndicator*>(QStringLiteral("AbLEDStBit0"))->isLit());
    EXPECT_FALSE(form->findChild<LedIndicator*>(QStringLiteral("AbLEDStBit1"))->isLit());
    EXPECT_EQ(text("PanUst8"), QStringLiteral("500"));
    EXPECT_EQ(text("PanUst127"), QStringLiteral("1234"));
    EXPECT_EQ(text("PanPar30"), QStringLiteral("4800"));
    EXPECT_EQ(text("PanUst46"), QStringLiteral("2048"));
    EXPECT_EQ(text("PanPar34"), QStringLiteral("505"));
    EXPECT_EQ(text("LabelSign"), QStringLiteral("Реле ОТКЛЮЧЕНИЯ"));
    EXPECT_EQ(text("PanProt7"), QStringLiteral("230.0"));
    EXPECT_TRUE(form->findChild<LedIndicator*>(QStringLiteral("AbLEDProtStBit1"))->isLit());

    // Page 4: the kind of change in red for a decrease, green for an increase, hidden otherwise.
    EXPECT_EQ(text("LabTypeChange"), QStringLiteral("Снижение изоляции"));
    EXPECT_EQ(foreground(child<QLabel>(form.get(), "LabTypeChange")), QColor(Qt::red));
    EXPECT_TRUE(child<QLabel>(form.get(), "LabTypeChange")->isVisible());
    child<QSpinBox>(form.get(), "SpinEditNumbPrRiz")->setValue(2);
    exchangeUntilRead(0x3008);
    EXPECT_EQ(text("LabTypeChange"), QStringLiteral("Повышение изоляции"));
    EXPECT_EQ(foreground(child<QLabel>(form.get(), "LabTypeChange")).green(), 0x90);
    relay.set(0x3008 + 5, 0);
    exchangeUntilRead(0x3008);
    EXPECT_FALSE(child<QLabel>(form.get(), "LabTypeChange")->isVisible());
}

TEST_F(FormParamTest, SetpointEditedInPlaceIsWrittenOnTheWire) {
    openAndReadEverything();
    clickTab(1);
    QLabel* panel = label("PanUst8");
    QTest::mouseClick(panel, Qt::LeftButton);
    EXPECT_EQ(background(panel), QColor(0x00, 0x80, 0x00));
    EXPECT_EQ(panel->text(), QString());
    EXPECT_TRUE(panel->hasFocus());
    // Every key goes to the panel: a letter and a point change nothing, a refused digit neither.
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("4a.5099"));
    EXPECT_EQ(panel->text(), QStringLiteral("45099"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backspace);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backspace);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backspace);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_0);
    EXPECT_EQ(panel->text(), QStringLiteral("450"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    EXPECT_EQ(panel->text(), QStringLiteral("450"));
    EXPECT_EQ(foreground(panel), QColor(0x00, 0x00, 0x80));
    EXPECT_FALSE(panel->hasFocus());
    EXPECT_TRUE(form->isVisible());  // Enter is not the dialog's default button

    const QVector<Request> seen = exchange(2);
    EXPECT_EQ(seen[0], (Request{2, 6, 0x0408, 450}));
    EXPECT_EQ(seen[1], (Request{2, 3, 0x0100, 48}));
    // The journal names the value as the caption beside it reads, without its colon.
    EXPECT_EQ(param_controls::recordCaption(QStringLiteral("PanUst8")),
              QStringLiteral("Уровень срабатывания защиты на СИГНАЛ, кОм"));
    EXPECT_EQ(param_controls::recordCaption(QStringLiteral("PanUst127")),
              QStringLiteral("Пароль системы"));
    // Every caption the records use stands beside its panel in the window, as written there.
    for (auto it = param_controls::panelCaptions().cbegin();
         it != param_controls::panelCaptions().cend(); ++it) {
        SCOPED_TRACE(it.key().toStdString());
        EXPECT_EQ(captionBeside(form->findChild<QLabel*>(it.key())), it.value());
    }

    // The password panel, drawn dark red, is navy after an edit.
    QLabel* password = label("PanUst127");
    EXPECT_NE(foreground(password), QColor(0x00, 0x00, 0x80));
    QTest::mouseClick(password, Qt::LeftButton);
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("65535"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Enter);
    EXPECT_EQ(foreground(password), QColor(0x00, 0x00, 0x80));
    EXPECT_EQ(exchange(1)[0], (Request{2, 6, 0x047F, 65535}));

    // A second panel clicked while one is in edit mode ends that edit, its text left as typed.
    QLabel* nine = label("PanUst9");
    QTest::mouseClick(nine, Qt::LeftButton);
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("7"));
    QTest::mouseClick(label("PanUst10"), Qt::LeftButton);
    EXPECT_EQ(nine->text(), QStringLiteral("7"));
    EXPECT_EQ(foreground(nine), QColor(0x00, 0x00, 0x80));
    EXPECT_EQ(background(label("PanUst10")), QColor(0x00, 0x80, 0x00));

    // Escape restores and keeps the window open; the next Escape closes it.
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("99"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    EXPECT_EQ(text("PanUst10"), QStringLiteral("250"));
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(rig.poll().WriteRequest(), kNoWrite);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(form->result(), QDialog::Rejected);
    EXPECT_FALSE(child<QTimer>(form.get(), "Timer1")->isActive());
    form->afterClose();
    EXPECT_FALSE(rig.poll().ParamWindowOpen());
}

TEST_F(FormParamTest, SettingsAndOffsetsAreEditedOnTheirOwnPage) {
    openAndReadEverything();
    clickTab(2);
    QLabel* offset = label("PanPar33");
    EXPECT_EQ(foreground(offset), QColor(Qt::black));
    QTest::mouseClick(offset, Qt::LeftButton);
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("300"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    EXPECT_EQ(exchange(1)[0], (Request{2, 6, 0x0421, 300}));
    QTest::mouseClick(label("PanUst0"), Qt::LeftButton);
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("300"));
    EXPECT_EQ(text("PanUst0"), QStringLiteral("30"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    EXPECT_EQ(exchange(1)[0], (Request{2, 6, 0x0400, 30}));
    // A measurement panel is not editable.
    QTest::mouseClick(label("PanPar30"), Qt::LeftButton);
    EXPECT_FALSE(form->model().editor().SetpointEditActive());
    // Another page chosen in the middle of an edit ends it, the typing left until the refresh.
    QTest::mouseClick(label("PanUst1"), Qt::LeftButton);
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("8"));
    clickTab(0);
    EXPECT_FALSE(form->model().editor().SetpointEditActive());
    EXPECT_EQ(text("PanUst1"), QStringLiteral("8"));
    EXPECT_EQ(foreground(label("PanUst1")), QColor(0x00, 0x00, 0x80));
}

TEST_F(FormParamTest, ProtocolNumbersAndTheReportButton) {
    openAndReadEverything();
    clickTab(3);
    // Keys do not change the trip protocol number; the spin buttons do.
    child<QSpinBox>(form.get(), "SpinEditNumbProt")->setFocus();
    QTest::keyClicks(child<QSpinBox>(form.get(), "SpinEditNumbProt"), QStringLiteral("5"));
    QTest::keyClick(child<QSpinBox>(form.get(), "SpinEditNumbProt"), Qt::Key_Up);
    EXPECT_EQ(child<QSpinBox>(form.get(), "SpinEditNumbProt")->value(), 1);
    child<QSpinBox>(form.get(), "SpinEditNumbProt")->stepUp();
    EXPECT_EQ(rig.poll().tripProtocolNumber(), 2);
    EXPECT_FALSE(child<QPushButton>(form.get(), "BtnCreateFileProt")->isEnabled());
    exchangeUntilRead(0x1020);
    EXPECT_TRUE(child<QPushButton>(form.get(), "BtnCreateFileProt")->isEnabled());
    EXPECT_EQ(text("LabNumbProt"), QStringLiteral("60"));

    QTest::mouseClick(child<QPushButton>(form.get(), "BtnCreateFileProt"), Qt::LeftButton);
    EXPECT_FALSE(child<QPushButton>(form.get(), "BtnCreateFileProt")->isEnabled());
    exchangeUntilRead(0x1020);
    EXPECT_TRUE(child<QPushButton>(form.get(), "BtnCreateFileProt")->isEnabled());
    EXPECT_TRUE(rig.folder.exists(QStringLiteral("Protokols/Pr_3_02_18_45_36.dat")));

    // The insulation-change number can be typed; beyond 1 to 64 the box does not take it, so
    // the page always shows the protocol that was read.
    clickTab(4);
    child<QSpinBox>(form.get(), "SpinEditNumbPrRiz")->setFocus();
    QLineEdit* edit = child<QSpinBox>(form.get(), "SpinEditNumbPrRiz")->findChild<QLineEdit*>();
    ASSERT_NE(edit, nullptr);
    edit->selectAll();
    QTest::keyClicks(child<QSpinBox>(form.get(), "SpinEditNumbPrRiz"), QStringLiteral("70"));
    EXPECT_GE(rig.poll().insulationProtocolNumber(), 1);
    EXPECT_LE(rig.poll().insulationProtocolNumber(), 64);
    edit->selectAll();
    QTest::keyClicks(child<QSpinBox>(form.get(), "SpinEditNumbPrRiz"), QStringLiteral("0"));
    child<QWidget>(form.get(), "TabSheet4")->setFocus();
    EXPECT_GE(child<QSpinBox>(form.get(), "SpinEditNumbPrRiz")->value(), 1);
    EXPECT_EQ(child<QSpinBox>(form.get(), "SpinEditNumbPrRiz")->value(),
              rig.poll().insulationProtocolNumber());
    edit->selectAll();
    QTest::keyClicks(child<QSpinBox>(form.get(), "SpinEditNumbPrRiz"), QStringLiteral("12"));
    EXPECT_EQ(rig.poll().insulationProtocolNumber(), 12);
    exchangeUntilRead(0x3058);
    EXPECT_EQ(text("LabPrRizNumb"), QStringLiteral("49"));
}

TEST_F(FormParamTest, ClockPickersAndButtons) {
    openAndReadEverything();
    clickTab(0);
    child<QTimeEdit>(form.get(), "TimePicker")->setTime(QTime(23, 59, 59));
    EXPECT_TRUE(child<QPushButton>(form.get(), "BtnSaveDT")->isEnabled());
    child<QDateEdit>(form.get(), "DatePicker")->setDate(QDate(2027, 1, 3));
    QTest::mouseClick(child<QPushButton>(form.get(), "BtnSaveDT"), Qt::LeftButton);
    const QVector<Request> seen = exchange(7);
    const int values[7] = {59, 59, 23, 0, 3, 1, 2027};
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(seen[i], (Request{2, 6, 0x0109 + i, values[i]})) << i;
    }
    EXPECT_TRUE(child<QPushButton>(form.get(), "BtnSaveDT")->isEnabled());
    QTest::mouseClick(child<QPushButton>(form.get(), "BtnSaveDTSys"), Qt::LeftButton);
    EXPECT_EQ(exchange(1)[0], (Request{2, 6, 0x0109, 0}));
    // At the next opening the button is disabled again.
    form->reject();
    form->afterClose();
    openActive();
    EXPECT_FALSE(child<QPushButton>(form.get(), "BtnSaveDT")->isEnabled());
}

TEST_F(FormParamTest, OpenForSelectedRelayRunsModallyAndLeavesTheScheduler) {
    bool shown = false;
    QTimer::singleShot(0, [this, &shown] {
        shown = QApplication::activeModalWidget() == form.get();
        EXPECT_TRUE(rig.poll().ParamWindowOpen());
        exchange(1);  // the background answer in flight moves the poll to this relay
        QTest::keyClick(form.get(), Qt::Key_Escape);
    });
    EXPECT_EQ(form->openForSelectedRelay(), QDialog::Rejected);
    EXPECT_TRUE(shown);
    EXPECT_FALSE(rig.poll().ParamWindowOpen());
    // Still installed: the first full read under way goes on into the hidden window.
    exchange(2);
    EXPECT_EQ(text("PanPar27"), QStringLiteral("1480"));
    EXPECT_EQ(text("PanUst8"), QStringLiteral("500"));
}

TEST_F(FormParamTest, StatisticsWindowFollowsAndResetsTheCounters) {
    TFormStat stat(rig.station().devices, nullptr);
    EXPECT_EQ(stat.windowTitle(), QStringLiteral("Статистика связи"));
    EXPECT_EQ(child<QLabel>(&stat, "Label0")->text(), QStringLiteral("Статистика связи с защитой"));
    EXPECT_EQ(child<QTimer>(&stat, "Timer")->interval(), 300);
    exchange(4);
    stat.show();
    EXPECT_TRUE(child<QTimer>(&stat, "Timer")->isActive());
    EXPECT_EQ(child<QLabel>(&stat, "LabelName")->text(), QStringLiteral("Ген. 2"));
    const DeviceEntry& r = rig.relay(2);
    EXPECT_EQ(child<QLabel>(&stat, "LAll")->text(), QString::number(r.RequestsSent));
    EXPECT_EQ(child<QLabel>(&stat, "LTrue")->text(), QString::number(r.GoodAnswers));
    EXPECT_EQ(child<QLabel>(&stat, "LError")->text(), QStringLiteral("0"));
    const QString shots = qEnvironmentVariable("TERVAL_SCREENSHOTS");
    if (!shots.isEmpty()) {
        stat.grab().save(shots + QStringLiteral("/stat.png"));
    }

    exchange(6);
    stat.TimerTimer();
    EXPECT_EQ(child<QLabel>(&stat, "LAll")->text(), QString::number(r.RequestsSent));
    stat.Button1Click();
    EXPECT_NE(child<QLabel>(&stat, "LAll")->text(),
              QStringLiteral("0"));  // the labels follow at the next tick
    stat.TimerTimer();
    EXPECT_EQ(child<QLabel>(&stat, "LAll")->text(), QStringLiteral("0"));
    EXPECT_EQ(child<QLabel>(&stat, "LTrue")->text(), QStringLiteral("0"));
    EXPECT_EQ(child<QLabel>(&stat, "LError")->text(), QStringLiteral("0"));
    EXPECT_EQ(rig.relay(1).RequestsSent > 0, true);  // only the selected relay is reset

    QTest::keyClick(&stat, Qt::Key_Escape);
    EXPECT_FALSE(stat.isVisible());
    EXPECT_FALSE(child<QTimer>(&stat, "Timer")->isActive());
    stat.show();
    QTest::mouseClick(child<QPushButton>(&stat, "Button2"), Qt::LeftButton);
    EXPECT_FALSE(stat.isVisible());
    EXPECT_EQ(stat.result(), QDialog::Rejected);
}

}  // namespace
}  // namespace terval
namespace terval {
namespace {

// The window's rules name the controls they write to; every such name is a control of the window,
// but for the setpoint words the relay has and the window deliberately shows nowhere.
TEST_F(FormParamTest, EveryControlTheRulesWriteToIsInTheWindow) {
    testing::RecordingParamView recorded;
    ParamWindowModel rules(rig.station(), rig.core().main, rig.core().main.messages(),
                           rig.core().main.clock(), rig.core().main.locale(), rig.scheduler());
    rules.setView(&recorded);
    rig.core().dispatcher.setParamWindow(&rules);
    rules.prepareOpen();
    rules.FormShow();
    for (int i = 0; i < 12 && rig.poll().InitialRead(); ++i) {
        exchange(1);
    }
    rules.PageControl1Change(kPageTripProtocols);
    exchangeUntilRead(registers::tripProtocolRegister(1));
    rules.PageControl1Change(kPageInsulationProtocols);
    exchangeUntilRead(registers::insulationProtocolRegister(1));
    for (const char* panel : editablePanelNames()) {
        rules.PanUstClick(QString::fromLatin1(panel));
        rules.PanUstExit(QString::fromLatin1(panel));
    }
    rules.FormClose();
    rig.core().dispatcher.setParamWindow(nullptr);

    QSet<QString> written;
    const auto add = [&written](const auto& hash) {
        for (auto it = hash.keyBegin(); it != hash.keyEnd(); ++it) {
            written.insert(*it);
        }
    };
    add(recorded.texts);
    add(recorded.visibility);
    add(recorded.enabledState);
    add(recorded.leds);
    add(recorded.looks);
    if (!recorded.focused.isEmpty()) {
        written.insert(recorded.focused);
    }
    ASSERT_GT(written.size(), 80);

    QSet<QString> withoutControl;
    for (int word :
         {4, 5, 6, 7, 20, 21, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 48}) {
        withoutControl.insert(QStringLiteral("PanUst%1").arg(word));
    }
    for (const QString& name : written) {
        if (withoutControl.contains(name)) {
            EXPECT_EQ(form->findChild<QWidget*>(name), nullptr) << qPrintable(name);
        } else {
            EXPECT_NE(form->findChild<QWidget*>(name), nullptr) << qPrintable(name);
        }
    }
}

// Opened from the keyboard (F3), the window must be usable from it: Tab reaches the tabs and the
// arrow keys choose a page, also while no page is chosen.
TEST_F(FormParamTest, PagesAreChosenWithTheKeyboard) {
    openAndReadEverything();
    EXPECT_EQ(child<PageControl>(form.get(), "PageControl1")->activePage(), 0);
    child<PageControl>(form.get(), "PageControl1")->setActivePage(-1);
    PageTabBar* bar = child<PageControl>(form.get(), "PageControl1")->tabBar();
    QTest::keyClick(form.get(), Qt::Key_Tab);
    ASSERT_TRUE(bar->hasFocus());
    QTest::keyClick(bar, Qt::Key_Right);
    EXPECT_EQ(child<PageControl>(form.get(), "PageControl1")->activePage(), 0);
    EXPECT_EQ(rig.poll().activePage(), 0);
    QTest::keyClick(bar, Qt::Key_Right);
    EXPECT_EQ(child<PageControl>(form.get(), "PageControl1")->activePage(), 1);

    child<PageControl>(form.get(), "PageControl1")->setActivePage(-1);
    QTest::keyClick(bar, Qt::Key_Left);
    EXPECT_EQ(child<PageControl>(form.get(), "PageControl1")->activePage(), 4);
}

}  // namespace
}  // namespace terval
