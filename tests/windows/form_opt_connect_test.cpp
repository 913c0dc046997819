#include "windows/dialogs/form_opt_connect.h"

#include <gtest/gtest.h>
#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QGroupBox>
#include <QRadioButton>
#include <QSpinBox>
#include <QTest>
#include <QTimer>

#include "devices/device_editor.h"
#include "support/fakes.h"
#include "support/find_child.h"
#include "widgets/widget_led.h"
#include "windows/dialogs/form_com_setup.h"
#include "windows/main/form_main.h"
#include "windows/main/windowed_station.h"

namespace terval {
namespace {

using testing::child;

// The link type's buttons in their order: RS-232, RS-485, TCP.
QRadioButton* linkButton(const QWidget* dialog, int i) {
    return child<QGroupBox>(dialog, "RadioGroup")->findChildren<QRadioButton*>().at(i);
}

using testing::FixedClock;
using testing::RecordingMessageSink;
using testing::WorkFolder;

class FormOptConnectTest : public ::testing::Test {
  protected:
    void SetUp() override {
        installFontSubstitutions();
        folder.addPictures();
        ConnectionConfig config;
        config.ipAddress = {10, 0, 0, 5};
        config.tcpPort = 502;
        folder.write("config.cfg", config.toRecord());
        windowed = std::make_unique<WindowedStation>(folder.dir(), messages, clock,
                                                     QLocale(QLocale::Russian));
        form = &windowed->window();
        dialog = child<TFormOptConnect>(form, "FormOptConnect");
        dialog->show();
        QApplication::setActiveWindow(dialog);
        ASSERT_TRUE(QTest::qWaitForWindowActive(dialog));
    }
    void TearDown() override { dialog->hide(); }

    WorkFolder folder;
    RecordingMessageSink messages;
    FixedClock clock{QDateTime(QDate(2026, 3, 1), QTime(8, 0))};
    // As main() has it: the station outlives its windows.
    std::unique_ptr<WindowedStation> windowed;
    TFormMain* form = nullptr;
    TFormOptConnect* dialog = nullptr;
};

TEST_F(FormOptConnectTest, ShowsTheRecordAndFiltersTypedKeys) {
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Настройки связи"));
    EXPECT_TRUE(linkButton(dialog, 0)->isChecked());
    EXPECT_EQ(linkButton(dialog, 2)->text(), QStringLiteral("Через Ithernet TCP/IP"));
    EXPECT_EQ(child<QGroupBox>(dialog, "GroupBox1")->title(),
              QStringLiteral("Настройки  ItherNet"));
    EXPECT_EQ(child<QLineEdit>(dialog, "EditIPAddr")->text(), QStringLiteral("10.0.0.5"));
    EXPECT_EQ(child<QLineEdit>(dialog, "EditIPPort")->text(), QStringLiteral("502"));
    EXPECT_FALSE(child<QCheckBox>(dialog, "CheckBoxSave")->isChecked());
    const QString shots = qEnvironmentVariable("TERVAL_SCREENSHOTS");
    if (!shots.isEmpty()) {
        dialog->grab().save(shots + QStringLiteral("/connection-settings.png"));
        child<TFormComSetup>(dialog, "FormComSetup")->FormShow();
        child<TFormComSetup>(dialog, "FormComSetup")->adjustSize();
        child<TFormComSetup>(dialog, "FormComSetup")
            ->grab()
            .save(shots + QStringLiteral("/com-setup.png"));
    }

    // A click empties the edit for a fresh value, in green.
    QTest::mouseClick(child<QLineEdit>(dialog, "EditIPAddr"), Qt::LeftButton);
    EXPECT_TRUE(child<QLineEdit>(dialog, "EditIPAddr")->text().isEmpty());
    EXPECT_EQ(child<QLineEdit>(dialog, "EditIPAddr")->palette().color(QPalette::Base),
              QColor(0x00, 0x80, 0x00));
    QTest::keyClicks(child<QLineEdit>(dialog, "EditIPAddr"), "192.168.0.256");
    EXPECT_EQ(child<QLineEdit>(dialog, "EditIPAddr")->text(), QStringLiteral("192.168.0.25"));
    QTest::keyClick(child<QLineEdit>(dialog, "EditIPAddr"), Qt::Key_Return);
    EXPECT_TRUE(child<QGroupBox>(dialog, "GroupBox1")->hasFocus());
    EXPECT_NE(child<QLineEdit>(dialog, "EditIPAddr")->palette().color(QPalette::Base),
              QColor(0x00, 0x80, 0x00));

    // Escape brings back the text from before the click; a second click remembers the empty one.
    QTest::mouseClick(child<QLineEdit>(dialog, "EditIPPort"), Qt::LeftButton);
    QTest::keyClicks(child<QLineEdit>(dialog, "EditIPPort"), "65536");
    EXPECT_EQ(child<QLineEdit>(dialog, "EditIPPort")->text(), QStringLiteral("6553"));
    QTest::keyClick(child<QLineEdit>(dialog, "EditIPPort"), Qt::Key_Escape);
    EXPECT_EQ(child<QLineEdit>(dialog, "EditIPPort")->text(), QStringLiteral("502"));
    EXPECT_TRUE(dialog->isVisible());
    QTest::mouseClick(child<QLineEdit>(dialog, "EditIPPort"), Qt::LeftButton);
    QTest::mouseClick(child<QLineEdit>(dialog, "EditIPPort"), Qt::LeftButton);
    QTest::keyClick(child<QLineEdit>(dialog, "EditIPPort"), Qt::Key_Escape);
    EXPECT_TRUE(child<QLineEdit>(dialog, "EditIPPort")->text().isEmpty());
}

TEST_F(FormOptConnectTest, KeyboardOnlyAndPasteThroughTheFilter) {
    // No default button: Enter right after opening opens no other dialog and applies nothing.
    QTimer watch;
    QWidget* otherDialog = nullptr;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal && modal != dialog) {
            otherDialog = modal;
            static_cast<QDialog*>(modal)->reject();
        }
    });
    watch.start(5);
    ASSERT_TRUE(child<QGroupBox>(dialog, "GroupBox1")->hasFocus());
    // A dialog that Enter opened runs modally inside the key press, where the watch closes it:
    // by the time the press returns it has been seen.
    QTest::keyClick(child<QGroupBox>(dialog, "GroupBox1"), Qt::Key_Return);
    EXPECT_EQ(otherDialog, nullptr);
    EXPECT_TRUE(dialog->isVisible());

    // Tab goes through the edits; entered with Tab, an edit is typed over as a whole.
    child<QLineEdit>(dialog, "EditIPAddr")->setFocus(Qt::TabFocusReason);
    QTest::keyClick(child<QLineEdit>(dialog, "EditIPAddr"), Qt::Key_Tab);
    ASSERT_TRUE(child<QLineEdit>(dialog, "EditIPPort")->hasFocus());
    QTest::keyClick(child<QLineEdit>(dialog, "EditIPPort"), Qt::Key_Backtab);
    ASSERT_TRUE(child<QLineEdit>(dialog, "EditIPAddr")->hasFocus());
    EXPECT_EQ(child<QLineEdit>(dialog, "EditIPAddr")->selectedText(), QStringLiteral("10.0.0.5"));
    QTest::keyClicks(child<QLineEdit>(dialog, "EditIPAddr"), "10.0255.0.0");
    EXPECT_EQ(child<QLineEdit>(dialog, "EditIPAddr")->text(), QStringLiteral("10.025.0.0"));

    // Editing keys act as in any edit.
    QTest::keyClick(child<QLineEdit>(dialog, "EditIPAddr"), Qt::Key_Home);
    QTest::keyClick(child<QLineEdit>(dialog, "EditIPAddr"), Qt::Key_Right);
    QTest::keyClick(child<QLineEdit>(dialog, "EditIPAddr"), Qt::Key_Delete);
    EXPECT_EQ(child<QLineEdit>(dialog, "EditIPAddr")->text(), QStringLiteral("1.025.0.0"));
    QTest::keyClick(child<QLineEdit>(dialog, "EditIPAddr"), Qt::Key_End);
    QTest::keyClick(child<QLineEdit>(dialog, "EditIPAddr"), Qt::Key_Left, Qt::ShiftModifier);
    QTest::keyClick(child<QLineEdit>(dialog, "EditIPAddr"), Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("0"));

    // Pasted text is typed through the filter, over the selection.
    QGuiApplication::clipboard()->setText(QStringLiteral(" 127.0.0.1.9x"));
    QTest::keyClick(child<QLineEdit>(dialog, "EditIPAddr"), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(child<QLineEdit>(dialog, "EditIPAddr"), Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(child<QLineEdit>(dialog, "EditIPAddr")->text(), QStringLiteral("127.0.0.19"));
    QTest::keyClick(child<QLineEdit>(dialog, "EditIPAddr"), Qt::Key_Return);
    EXPECT_TRUE(child<QGroupBox>(dialog, "GroupBox1")->hasFocus());

    QGuiApplication::clipboard()->setText(QStringLiteral("0000000"));
    child<QLineEdit>(dialog, "EditIPPort")->setFocus(Qt::TabFocusReason);
    QTest::keyClick(child<QLineEdit>(dialog, "EditIPPort"), Qt::Key_Insert, Qt::ShiftModifier);
    EXPECT_EQ(child<QLineEdit>(dialog, "EditIPPort")->text(), QStringLiteral("00000"));
    child<QLineEdit>(dialog, "EditIPPort")->selectAll();
    QTest::keyClicks(child<QLineEdit>(dialog, "EditIPPort"), "1502");

    // Enter on the focused "Настройки COM порта" opens the serial setup, as a click does.
    child<QPushButton>(dialog, "BtnOptionCOM")->setFocus();
    QTest::keyClick(child<QPushButton>(dialog, "BtnOptionCOM"), Qt::Key_Return);
    EXPECT_EQ(otherDialog, child<TFormComSetup>(dialog, "FormComSetup"));
    watch.stop();

    // Enter on the focused "OK" applies and closes.
    linkButton(dialog, 2)->setChecked(true);
    child<QPushButton>(dialog, "BtnOK")->setFocus();
    QTest::keyClick(child<QPushButton>(dialog, "BtnOK"), Qt::Key_Return);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    const ConnectionConfig& c = form->station().connection;
    EXPECT_EQ(c.LinkType, kLinkTcp);
    EXPECT_EQ(c.ipText(), QStringLiteral("127.0.0.19"));
    EXPECT_EQ(c.tcpPort, 1502);
    EXPECT_TRUE(messages.messages.isEmpty());
}

TEST_F(FormOptConnectTest, OkChangesTheRecordForThisRunAndTheFileOnlyWhenAskedTo) {
    const QByteArray before = folder.read("config.cfg");
    linkButton(dialog, 2)->setChecked(true);
    child<QLineEdit>(dialog, "EditIPAddr")->setText(QStringLiteral("127.0.0.1"));
    child<QLineEdit>(dialog, "EditIPPort")->setText(QStringLiteral("1502"));
    dialog->BtnOKClick();
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    const ConnectionConfig& c = form->station().connection;
    EXPECT_EQ(c.LinkType, kLinkTcp);
    EXPECT_EQ(c.ipText(), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(c.tcpPort, 1502);
    EXPECT_EQ(folder.read("config.cfg"), before);

    dialog->show();
    child<QCheckBox>(dialog, "CheckBoxSave")->setChecked(true);
    dialog->BtnOKClick();
    EXPECT_EQ(folder.read("config.cfg"), c.toRecord());
    EXPECT_EQ(folder.read("config.cfg").mid(13, 7), QByteArray::fromHex("7f00000100de05"));
}

TEST_F(FormOptConnectTest, ConnectAtStartIsKeptBesideConfigAndOpensTheLinkAtTheNextStart) {
    const QByteArray config = folder.read("config.cfg");
    EXPECT_FALSE(child<QCheckBox>(dialog, "CheckBoxConnectAtStart")->isChecked());
    child<QCheckBox>(dialog, "CheckBoxConnectAtStart")->setChecked(true);
    dialog->BtnOKClick();
    ASSERT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_EQ(folder.read("config.cfg"), config);
    EXPECT_TRUE(folder.read("terval.ini").contains("connectAtStart=true"));

    // The next start, with a relay to poll: the link is opened with nobody at the keyboard.
    DeviceTable table;
    table.append(newDeviceEntry(1));
    folder.write("gen.dat", table.toFileBytes());
    ConnectionConfig tcp;
    tcp.LinkType = kLinkTcp;
    tcp.ipAddress = {127, 0, 0, 1};
    tcp.tcpPort = 1;
    folder.write("config.cfg", tcp.toRecord());
    dialog->hide();
    windowed =
        std::make_unique<WindowedStation>(folder.dir(), messages, clock, QLocale(QLocale::Russian));
    form = &windowed->window();
    ASSERT_TRUE(form->station().settings.connectAtStart);
    form->connectAtStart();
    EXPECT_TRUE(form->station().linkUp);
    EXPECT_EQ(form->core().link.state(), LinkState::Opening);
    form->NConnectingClick();
    EXPECT_FALSE(form->station().linkUp);

    dialog = child<TFormOptConnect>(form, "FormOptConnect");
    dialog->show();
    EXPECT_TRUE(child<QCheckBox>(dialog, "CheckBoxConnectAtStart")->isChecked());
    child<QCheckBox>(dialog, "CheckBoxConnectAtStart")->setChecked(false);
    dialog->BtnOKClick();
    EXPECT_TRUE(folder.read("terval.ini").contains("connectAtStart=false"));
}

TEST_F(FormOptConnectTest, AddressOrPortTheRecordCannotHoldIsRefusedOnOk) {
    child<QLineEdit>(dialog, "EditIPAddr")->setText(QStringLiteral("10.0.0.5.7"));  // pasted
    child<QLineEdit>(dialog, "EditIPPort")->setText(QStringLiteral("1502"));
    dialog->BtnOKClick();
    ASSERT_EQ(messages.messages.size(), 1);
    EXPECT_EQ(messages.messages[0].icon, MessageIcon::Error);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(child<QLineEdit>(dialog, "EditIPAddr")->text(), QStringLiteral("10.0.0.5"));
    EXPECT_EQ(form->station().connection.tcpPort, 502);

    child<QLineEdit>(dialog, "EditIPPort")->setText(QString());
    dialog->BtnOKClick();
    ASSERT_EQ(messages.messages.size(), 2);
    EXPECT_TRUE(messages.messages[1].text.startsWith(QStringLiteral("Неверный номер порта")));
    EXPECT_TRUE(dialog->isVisible());
}

TEST_F(FormOptConnectTest, SetupDialogChangesThePortButTheRecordKeepsEightNoneOne) {
    ASSERT_TRUE(QFile::link("/dev/null", folder.path("COM5")));
    TFormComSetup* setup = child<TFormComSetup>(dialog, "FormComSetup");
    EXPECT_EQ(setup->windowTitle(), QStringLiteral("Setup"));
    setup->show();  // fills the lists
    QApplication::setActiveWindow(setup);
    ASSERT_TRUE(QTest::qWaitForWindowActive(setup));
    EXPECT_GE(child<QComboBox>(setup, "ComboPort")->findText("COM5"), 0);
    EXPECT_EQ(child<QComboBox>(setup, "ComboPort")->currentText(), QStringLiteral("COM1"));
    EXPECT_EQ(child<QComboBox>(setup, "ComboBaud")->currentText(), QStringLiteral("38400"));
    child<QComboBox>(setup, "ComboPort")->setCurrentText("COM5");
    child<QComboBox>(setup, "ComboBaud")->setCurrentText("9600");
    child<QComboBox>(setup, "ComboDataBits")->setCurrentText("7");
    child<QComboBox>(setup, "ComboParity")->setCurrentText("Even");
    // Enter goes from list to list and at last presses "OK"; no button is pressed from a list.
    child<QComboBox>(setup, "ComboParity")->setFocus();
    QTest::keyClick(child<QComboBox>(setup, "ComboParity"), Qt::Key_Return);
    EXPECT_TRUE(child<QComboBox>(setup, "ComboFlow")->hasFocus());
    QTest::keyClick(child<QComboBox>(setup, "ComboFlow"), Qt::Key_Return);
    ASSERT_TRUE(child<QPushButton>(setup, "ButtonOk")->hasFocus());
    QTest::keyClick(child<QPushButton>(setup, "ButtonOk"), Qt::Key_Return);
    EXPECT_FALSE(setup->isVisible());
    const SerialSettings& port = form->core().link.serialSettings();
    EXPECT_EQ(port.portName, QStringLiteral("COM5"));
    EXPECT_EQ(port.baudRate, 9600);
    EXPECT_EQ(port.dataBitsIndex, 2);
    EXPECT_EQ(port.parityIndex, 2);

    linkButton(dialog, 1)->setChecked(true);
    child<QCheckBox>(dialog, "CheckBoxSave")->setChecked(true);
    dialog->BtnOKClick();
    const QByteArray record = folder.read("config.cfg");
    EXPECT_EQ(record.mid(20, 5), QByteArray::fromHex("04434f4d35"));
    EXPECT_EQ(record.right(5), QByteArray::fromHex("0703000002"));
    EXPECT_EQ(record.left(2), QByteArray::fromHex("0100"));
}

TEST_F(FormOptConnectTest, SerialDisplayFollowsTheLinkTypeAfterTheDialog) {
    dialog->hide();
    EXPECT_TRUE(child<QLabel>(form, "LabelPort")->isVisibleTo(form));
    QTimer::singleShot(0, [this] {
        linkButton(dialog, 2)->setChecked(true);
        dialog->BtnOKClick();
    });
    form->NOptionNetClick();
    EXPECT_FALSE(child<QLabel>(form, "LabelPort")->isVisibleTo(form));
    EXPECT_FALSE(child<LedIndicator>(form, "ComLed")->isVisibleTo(form));
    EXPECT_FALSE(child<QLabel>(form, "LabelNum")->isVisibleTo(form));
}

// The pace is kept in terval.ini beside "Устанавливать связь при запуске", every other line of
// the file kept, and the next "Установить связь" polls at it.
TEST_F(FormOptConnectTest, PaceOfThePollIsKeptAndTakenAtTheNextConnect) {
    folder.write("terval.ini", "[link]\nconnectAtStart=false\n");
    auto* wire = child<QRadioButton>(dialog, "RadioPollWire");
    auto* margin = child<QSpinBox>(dialog, "SpinSerialMargin");
    EXPECT_TRUE(child<QRadioButton>(dialog, "RadioPollTick")->isChecked());
    EXPECT_FALSE(margin->isEnabled());
    wire->setChecked(true);
    EXPECT_TRUE(margin->isEnabled());
    margin->setValue(margin->maximum() + 1);
    EXPECT_EQ(margin->value(), kMostMarginMs);
    margin->setValue(80);
    dialog->BtnOKClick();
    EXPECT_TRUE(messages.messages.isEmpty());
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(folder.read("terval.ini"),
              QByteArray("[link]\nconnectAtStart=false\n\n[poll]\npace=wire\n"
                         "serialMarginMs=80\ntcpMarginMs=300\ntcpPauseMs=20\n"));
    EXPECT_EQ(form->station().settings.poll.pace, PollPace::Wire);
    EXPECT_FALSE(form->core().scheduler.pacedByWire());
    form->core().link.NConnectingClick();
    EXPECT_TRUE(form->core().scheduler.pacedByWire());
    EXPECT_EQ(form->core().scheduler.pacing().serialMarginMs, 80);
    // The record's COM1 may or may not open here; either way the link is left closed.
    if (form->station().linkUp) {
        form->core().link.NConnectingClick();
    }

    dialog->show();
    EXPECT_TRUE(wire->isChecked());
    EXPECT_EQ(margin->value(), 80);
}

}  // namespace
}  // namespace terval
