#include "param/param_window_model.h"

#include <gtest/gtest.h>

#include "param/fake_relay.h"
#include "param/recording_param_view.h"
#include "poll/report_file.h"

namespace terval {
namespace {

using testing::FakeRelay;
using testing::RecordingParamView;
using testing::Request;
using testing::Rig;

// Relay 2 of three is selected and opened; the others only answer the background poll.
class ParamWindowModelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        rig.core().main.NEWbmpClick(2);
        rig.connect();
        model.setView(&view);
        rig.core().dispatcher.setParamWindow(&model);
        // One background answer, so the relay counters are not all zero at the opening.
        exchange(1);
    }

    QVector<Request> exchange(int n) { return relay.exchange(rig, 2, n); }
    void exchangeUntilRead(int reg) { relay.exchangeUntilRead(rig, 2, reg); }
    void open() {
        model.prepareOpen();
        model.FormShow();
    }
    void openAndReadEverything() {
        open();
        for (int i = 0; i < 12 && rig.poll().InitialRead(); ++i) {
            exchange(1);
        }
        ASSERT_FALSE(rig.poll().InitialRead());
    }
    void type(const QString& panel, const char* keys) {
        for (; *keys; ++keys) {
            model.PanelUstKeyPressFloat(panel, *keys);
        }
    }

    // Before the station, which shows the window's rules on it to its last moment.
    RecordingParamView view;
    Rig rig{3};
    FakeRelay relay;
    // The core's own: it keeps them for the life of the station.
    ParamWindowModel& model = rig.core().paramWindow;
};

TEST_F(ParamWindowModelTest, OpeningThenTheFirstFullReadFillsEveryPage) {
    rig.relay(2).BadAnswers = 4;
    rig.relay(2).RequestsSent = 9;
    view.enabledState[QStringLiteral("BtnCreateFileProt")] = false;
    open();
    EXPECT_TRUE(rig.poll().ParamWindowOpen());
    EXPECT_TRUE(rig.poll().InitialRead());
    EXPECT_TRUE(view.enabled(QStringLiteral("BtnCreateFileProt")));
    EXPECT_EQ(model.linkLoss().LinkLossBaseBad, 4u);
    EXPECT_EQ(model.linkLoss().LinkLossBaseRequests, 9u);
    EXPECT_EQ(view.activePage, -1);
    EXPECT_EQ(rig.poll().activePage(), kNoPage);
    EXPECT_EQ(view.tabs, (std::array<bool, 5>{}));
    EXPECT_EQ(view.texts.value(QStringLiteral("LabelName")), QStringLiteral("Ген. 2"));
    EXPECT_FALSE(view.enabled(QStringLiteral("BtnSaveDT")));
    EXPECT_TRUE(view.timer);

    const QVector<Request> seen = exchange(7);
    EXPECT_EQ(seen[1], (Request{2, 3, 0x0100, 48}));
    EXPECT_EQ(seen[6], (Request{2, 3, 0x3000, 8}));
    EXPECT_FALSE(rig.poll().InitialRead());
    // Tabs appeared in the order their data came; the current parameters were shown as soon as
    // they came, and the relay's requests follow that page from then on.
    EXPECT_EQ(view.tabOrder, (QList<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(view.tabs, (std::array<bool, 5>{true, true, true, true, true}));
    EXPECT_EQ(view.activePage, kPageCurrent);
    EXPECT_EQ(rig.poll().activePage(), kPageCurrent);

    const auto text = [this](const char* name) {
        return view.texts.value(QString::fromLatin1(name));
    };
    EXPECT_EQ(text("PanPar_1"), QStringLiteral("2402"));
    EXPECT_EQ(text("PanPar_2"), QStringLiteral("3/2008"));
    EXPECT_EQ(text("PanPar_5"), QStringLiteral("2.7"));
    EXPECT_EQ(text("PanPar_6"), QStringLiteral("17/06/2019"));
    for (const char* shown :
         {"LabPar1", "LabPar_2", "LabPar_5", "LabPar_6", "PanPar_1", "PanPar_6"}) {
        EXPECT_TRUE(view.visibility.value(QString::fromLatin1(shown))) << shown;
    }
    EXPECT_EQ(text("PanPar28"), QStringLiteral("230.4"));
    EXPECT_EQ(text("PanPar32"), QStringLiteral("512"));
    EXPECT_TRUE(view.leds.value(QStringLiteral("AbLEDStBit2")));
    EXPECT_EQ(text("LabelDTDefence"), QStringLiteral("09.03.2026   07:05:00"));
    EXPECT_EQ(view.pickers, QDateTime(QDate(2026, 3, 9), QTime(7, 5, 0)));
    EXPECT_TRUE(view.visibility.value(QStringLiteral("GroupBoxUst")));
    EXPECT_EQ(text("PanUst47"), QStringLiteral("300"));
    EXPECT_EQ(text("PanUst127"), QStringLiteral("1234"));
    EXPECT_EQ(text("LabNumbProt"), QStringLiteral("61"));
    EXPECT_EQ(text("LabDateProt"), QStringLiteral("2/02"));
    EXPECT_EQ(text("LabTimeProt"), QStringLiteral("18:45:36"));
    EXPECT_TRUE(view.leds.value(QStringLiteral("AbLEDProtStBit1")));
    EXPECT_EQ(text("LabPrRizDate"), QStringLiteral("20/01"));
    EXPECT_EQ(text("PanPrRiz4"), QStringLiteral("814"));
    EXPECT_EQ(view.changeKind, InsulationChange::Decrease);

    // The pickers follow the relay's clock during the first full read only.
    relay.setClock(10, 3, 8, 0, 0);
    model.PageControl1Change(kPageCurrent);
    exchangeUntilRead(0x0100);
    EXPECT_EQ(text("LabelDTDefence"), QStringLiteral("10.03.2026   08:00:00"));
    EXPECT_EQ(view.pickerLoads, 1);
}

TEST_F(ParamWindowModelTest, ImpossibleRelayClockLeavesThePickersAlone) {
    relay.setClock(31, 2, 7, 5, 0);
    open();
    exchange(3);
    EXPECT_EQ(view.texts.value(QStringLiteral("LabelDTDefence")),
              QStringLiteral("31.02.2026   07:05:00"));
    EXPECT_EQ(view.pickerLoads, 0);
}

TEST_F(ParamWindowModelTest, RefreshesKeepTheTypingOfTheEditedPanel) {
    openAndReadEverything();
    model.PageControl1Change(kPageSettings);
    ASSERT_TRUE(model.PanUstClick(QStringLiteral("PanUst44")));
    EXPECT_EQ(view.looks.value(QStringLiteral("PanUst44")), PanelLook::Editing);
    EXPECT_EQ(view.focused, QStringLiteral("PanUst44"));
    EXPECT_EQ(view.texts.value(QStringLiteral("PanUst44")), QString());
    type(QStringLiteral("PanUst44"), "7");
    relay.set(0x042C, 999);
    relay.set(0x042D, 888);
    exchangeUntilRead(0x0400);
    EXPECT_EQ(view.texts.value(QStringLiteral("PanUst44")), QStringLiteral("7"));
    EXPECT_EQ(view.texts.value(QStringLiteral("PanUst45")), QStringLiteral("888"));

    // The present offsets come with the current parameters and are kept the same way.
    model.PanUstClick(QStringLiteral("PanPar32"));
    EXPECT_EQ(view.looks.value(QStringLiteral("PanUst44")), PanelLook::Plain);
    EXPECT_EQ(view.texts.value(QStringLiteral("PanUst44")), QStringLiteral("7"));
    type(QStringLiteral("PanPar32"), "6");
    relay.set(0x0120, 600);
    relay.set(0x0121, 601);
    exchangeUntilRead(0x0100);
    EXPECT_EQ(view.texts.value(QStringLiteral("PanPar32")), QStringLiteral("6"));
    EXPECT_EQ(view.texts.value(QStringLiteral("PanPar33")), QStringLiteral("601"));

    // The panel left without Enter shows the relay's value again at the next refresh.
    model.PanUstExit(QStringLiteral("PanPar32"));
    exchangeUntilRead(0x0100);
    EXPECT_EQ(view.texts.value(QStringLiteral("PanPar32")), QStringLiteral("600"));
    exchangeUntilRead(0x0400);
    EXPECT_EQ(view.texts.value(QStringLiteral("PanUst44")), QStringLiteral("999"));
}

TEST_F(ParamWindowModelTest, EnterWritesOneRegisterAndTheRelaysValueIsReadBack) {
    openAndReadEverything();
    model.PageControl1Change(kPageSetpoints);
    model.PanUstClick(QStringLiteral("PanUst8"));
    type(QStringLiteral("PanUst8"), "450\r");
    EXPECT_FALSE(model.editor().SetpointEditActive());
    EXPECT_EQ(view.looks.value(QStringLiteral("PanUst8")), PanelLook::Plain);
    EXPECT_EQ(view.focused, QStringLiteral("page 1"));
    EXPECT_EQ(view.texts.value(QStringLiteral("PanUst8")), QStringLiteral("450"));

    const QVector<Request> seen = exchange(2);
    EXPECT_EQ(seen[0], (Request{2, 6, 0x0408, 450}));
    EXPECT_EQ(seen[1], (Request{2, 3, 0x0100, 48}));
    EXPECT_EQ(relay.get(0x0408), 450);
    view.texts.remove(QStringLiteral("PanUst8"));
    exchangeUntilRead(0x0400);
    EXPECT_EQ(view.texts.value(QStringLiteral("PanUst8")), QStringLiteral("450"));

    // Without an edit, Escape closes the window.
    EXPECT_FALSE(model.FormKeyPress(27));
    EXPECT_TRUE(model.ButtonSysKeyDown(27));
    EXPECT_EQ(view.closes, 1);
}

TEST_F(ParamWindowModelTest, ClockFromTheComputerIsWrittenAndReadBack) {
    openAndReadEverything();
    model.DatePickerChange();
    EXPECT_TRUE(view.enabled(QStringLiteral("BtnSaveDT")));

    model.BtnSaveDTSysClick();  // the rig's clock: Sunday 15 March 2026, 12:00:00
    EXPECT_EQ(view.focused, QStringLiteral("page 0"));
    QVector<Request> seen = exchange(8);
    const int sunday[7] = {0, 0, 12, 0, 15, 3, 2026};
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(seen[i], (Request{2, 6, 0x0109 + i, sunday[i]})) << i;
    }
    EXPECT_EQ(seen[7], (Request{2, 3, 0x0100, 48}));
    EXPECT_EQ(view.texts.value(QStringLiteral("LabelDTDefence")),
              QStringLiteral("15.03.2026   12:00:00"));

    // Writing leaves the button enabled.
    EXPECT_TRUE(view.enabled(QStringLiteral("BtnSaveDT")));
}

TEST_F(ParamWindowModelTest, PageFourAcknowledgesTheEvent) {
    openAndReadEverything();
    rig.core().main.setTileState(2, kTileEvent);
    model.PageControl1Change(kPageTripProtocols);
    EXPECT_EQ(rig.station().tile(2).state, kTileEvent);
    model.PageControl1Change(kPageInsulationProtocols);
    EXPECT_EQ(rig.station().tile(2).state, kTileAnswering);
    EXPECT_EQ(rig.view.tiles.at(2).state, kTileAnswering);
    rig.core().main.setTileState(2, kTileNoAnswer);
    model.PageControl1Change(kPageCurrent);
    model.PageControl1Change(kPageInsulationProtocols);
    EXPECT_EQ(rig.station().tile(2).state, kTileAnswering);
    EXPECT_EQ(rig.poll().activePage(), kPageInsulationProtocols);

    // Page 4 reads the insulation-change protocol of the number chosen.
    model.SpinEditNumbPrRizChange(2);
    exchangeUntilRead(0x3008);
    EXPECT_EQ(view.changeKind, InsulationChange::Increase);
    EXPECT_EQ(view.texts.value(QStringLiteral("LabPrRizNumb")), QStringLiteral("59"));
}

TEST_F(ParamWindowModelTest, ReportButtonFollowsTheProtocolOnDisplay) {
    openAndReadEverything();
    model.PageControl1Change(kPageTripProtocols);
    const QString button = QStringLiteral("BtnCreateFileProt");
    model.SpinEditNumbProtChange(5);
    EXPECT_FALSE(view.enabled(button));
    model.SpinEditNumbProtChange(1);
    EXPECT_TRUE(view.enabled(button));
    model.SpinEditNumbProtChange(5);
    exchangeUntilRead(0x1080);
    // Protocol 5 carries its own running number, 57, yet it is the one chosen.
    EXPECT_EQ(view.texts.value(QStringLiteral("LabNumbProt")), QStringLiteral("57"));
    EXPECT_TRUE(view.enabled(button));

    model.BtnCreateFileProtClick();
    EXPECT_FALSE(view.enabled(button));
    EXPECT_TRUE(model.reportRequested());
    EXPECT_EQ(view.focused, QStringLiteral("page 3"));
    exchangeUntilRead(0x1080);
    EXPECT_FALSE(model.reportRequested());
    EXPECT_TRUE(view.enabled(button));
    const QString name = QStringLiteral("Protokols/Pr_6_02_18_45_36.dat");
    ASSERT_TRUE(rig.folder.exists(name));
    const RegisterWords sent = [this] {
        RegisterWords w{};
        for (int i = 0; i < 32; ++i) {
            w[static_cast<size_t>(i)] = relay.get(static_cast<uint16_t>(0x1080 + i));
        }
        return w;
    }();
    EXPECT_EQ(rig.folder.read(name),
              reportBytes(QStringLiteral("Ген. 2"), 2, decodeTripProtocol(sent)));
    // The operator is told where the report went.
    ASSERT_EQ(rig.messages.messages.size(), 1);
    EXPECT_EQ(rig.messages.messages[0].icon, MessageIcon::Information);
    EXPECT_EQ(rig.messages.messages[0].text,
              QStringLiteral("Отчет записан: ") + QDir::toNativeSeparators(rig.folder.path(name)));
}

TEST_F(ParamWindowModelTest, ReportThatCannotBeWrittenIsToldOncePerClick) {
    openAndReadEverything();
    model.PageControl1Change(kPageTripProtocols);
    rig.folder.write(QStringLiteral("Protokols"), "in the way");
    model.BtnCreateFileProtClick();
    exchangeUntilRead(0x1000);
    ASSERT_EQ(rig.messages.messages.size(), 1);
    EXPECT_EQ(rig.messages.messages[0].icon, MessageIcon::Error);
    EXPECT_TRUE(rig.messages.messages[0].text.contains(QStringLiteral("Protokols")));
    EXPECT_FALSE(model.reportRequested());
    EXPECT_TRUE(view.enabled(QStringLiteral("BtnCreateFileProt")));
    // Polling goes on past the protocol, and later answers do not repeat the message.
    exchangeUntilRead(0x1000);
    exchangeUntilRead(0x1000);
    EXPECT_EQ(rig.messages.messages.size(), 1);

    // Once the cause is gone, the next click writes the report.
    ASSERT_TRUE(QFile::remove(rig.folder.path(QStringLiteral("Protokols"))));
    model.BtnCreateFileProtClick();
    exchangeUntilRead(0x1000);
    EXPECT_TRUE(rig.folder.exists(QStringLiteral("Protokols/Pr_2_02_18_45_36.dat")));
    ASSERT_EQ(rig.messages.messages.size(), 2);
    EXPECT_EQ(rig.messages.messages[1].icon, MessageIcon::Information);
}

TEST_F(ParamWindowModelTest, ReportRequestedJustBeforeACloseIsWrittenAfterTheNextOpening) {
    openAndReadEverything();
    model.BtnCreateFileProtClick();
    model.FormClose();
    model.afterClose();
    // With no page chosen and the window closed, no trip protocol of relay 2 is read.
    exchange(6);
    EXPECT_FALSE(rig.folder.exists(QStringLiteral("Protokols")));
    openAndReadEverything();
    EXPECT_TRUE(rig.folder.exists(QStringLiteral("Protokols/Pr_2_02_18_45_36.dat")));
}

TEST_F(ParamWindowModelTest, SilentRelayClosesTheWindowThroughTheLinkLossCheck) {
    openAndReadEverything();
    model.PageControl1Change(kPageCurrent);
    // Answers mixed with a few failures do not close it.
    for (int i = 0; i < 30; ++i) {
        rig.tickUntilSent();
        if (rig.lastRequest().unit != 2 || i % 4 != 0) {
            relay.answer(rig, 2);
        } else {
            rig.tick(7);
        }
        if (i % 3 == 0) {
            model.Timer1Timer();
        }
    }
    EXPECT_EQ(view.closes, 0);
    // Then relay 2 falls silent: the window closes once three of its requests in a row failed.
    for (int i = 0; i < 40 && view.closes == 0; ++i) {
        rig.tickUntilSent();
        if (rig.lastRequest().unit != 2) {
            relay.answer(rig, 2);
        } else {
            rig.tick(7);
        }
        model.Timer1Timer();
    }
    EXPECT_EQ(view.closes, 1);
    const DeviceEntry& r = rig.relay(2);
    EXPECT_GE(r.BadAnswers - model.linkLoss().LinkLossBaseBad, 3u);
    model.FormClose();
    EXPECT_FALSE(view.timer);
}

TEST_F(ParamWindowModelTest, ReopenedForAnotherRelayShowsNoIdentityUntilItAnswers) {
    openAndReadEverything();
    ASSERT_TRUE(view.visibility.value(QStringLiteral("PanPar_1")));
    model.FormClose();
    model.afterClose();
    rig.core().main.NEWbmpClick(3);
    open();
    for (const char* control : {"PanPar_1", "PanPar_2", "PanPar_5", "PanPar_6", "LabPar1"}) {
        EXPECT_FALSE(view.visibility.value(QString::fromLatin1(control))) << control;
    }
    EXPECT_EQ(view.texts.value(QStringLiteral("LabelName")), QStringLiteral("Ген. 3"));
}

TEST_F(ParamWindowModelTest, LostLinkClosesTheWindowAtItsNextCheck) {
    openAndReadEverything();
    model.Timer1Timer();
    ASSERT_EQ(view.closes, 0);
    rig.socket.hangUp();
    model.Timer1Timer();
    EXPECT_EQ(view.closes, 1);
}

TEST_F(ParamWindowModelTest, ClosingCutsAnEditShortAndLetsThePollReturnToAllRelays) {
    open();
    exchange(3);
    model.PanUstClick(QStringLiteral("PanUst10"));
    model.FormClose();
    model.afterClose();
    EXPECT_FALSE(model.editor().SetpointEditActive());
    EXPECT_FALSE(rig.poll().ParamWindowOpen());
    // The first full read under way runs to its end and is still decoded.
    exchange(4);
    EXPECT_FALSE(rig.poll().InitialRead());
    EXPECT_EQ(view.texts.value(QStringLiteral("LabPrRizNumb")), QStringLiteral("60"));
    const QVector<Request> after = exchange(2);
    EXPECT_EQ(after[0].reg, 0x0100);
    EXPECT_EQ(rig.poll().PollPhase(), kPhaseMain);
}

}  // namespace
}  // namespace terval
