// The parameter window's rules over the real Qt TCP socket against relay-sim on loopback, in real
// time: the first full read, a setpoint written and read back, the relay's clock set, a report.
#include <gtest/gtest.h>
#include <QTimer>
#include <functional>

#include "param/current_parameters.h"
#include "param/param_window_model.h"
#include "param/recording_param_view.h"
#include "poll/report_file.h"
#include "relay_sim_process.h"
#include "station_harness.h"

namespace terval {
namespace {

using testing::RecordingParamView;
using testing::RelaySimProcess;
using testing::StationHarness;

class ParamWindowE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(sim.start({"--tcp", "127.0.0.1:0", "--relays", "1,2"}))
            << qPrintable(sim.errors());
        ConnectionConfig config;
        config.LinkType = kLinkTcp;
        config.ipAddress = {127, 0, 0, 1};
        config.tcpPort = static_cast<uint16_t>(sim.tcpPort());
        station.start({1, 2}, config);
        core = &station.core();
        model = &core->paramWindow;
        model->setView(&window);
        core->dispatcher.setParamWindow(model);
        // The window's 500 ms link-loss check, running while the window would be shown.
        linkLoss.setInterval(500);
        QObject::connect(&linkLoss, &QTimer::timeout, [this] {
            if (window.timer) {
                model->Timer1Timer();
            }
        });
        linkLoss.start();
        core->link.NConnectingClick();
        ASSERT_TRUE(runFor(5000, [this] { return core->station.tile(2).state != kTileNoAnswer; }));
    }
    void TearDown() override {
        if (core) {
            core->dispatcher.setParamWindow(nullptr);
            core->paramWindow.setView(nullptr);
        }
    }

    bool runFor(int ms, const std::function<bool()>& done = {}) { return station.runFor(ms, done); }
    void openRelay2() {
        core->main.NEWbmpClick(2);
        model->prepareOpen();
        model->FormShow();
        ASSERT_TRUE(runFor(6000, [this] {
            return !core->station.poll.InitialRead() && window.texts.contains("LabPrRizNumb");
        }));
    }
    QString shown(const char* control) const {
        return window.texts.value(QString::fromLatin1(control));
    }
    // One register of relay 2, as relay-sim holds it.
    int simRegister(int reg) {
        const QString reply = sim.command(QStringLiteral("get 2 %1").arg(reg));
        return reply.startsWith(QLatin1String("ok ")) ? reply.mid(3).toInt() : -1;
    }

    RelaySimProcess sim;
    StationHarness station;
    StationCore* core = nullptr;
    RecordingParamView window;
    ParamWindowModel* model = nullptr;
    QTimer linkLoss;
};

TEST_F(ParamWindowE2E, SetpointClockAndReportAgainstTheSimulatedRelay) {
    openRelay2();
    EXPECT_EQ(window.tabOrder, (QList<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(shown("PanPar_1"), QStringLiteral("2402"));
    EXPECT_EQ(shown("PanPar_5"), QStringLiteral("2.7"));
    EXPECT_EQ(shown("PanPar_6"), QStringLiteral("17/06/2019"));
    EXPECT_EQ(shown("PanUst0"), QStringLiteral("2"));
    EXPECT_EQ(shown("LabelSign"), QStringLiteral("СИГНАЛЬНОЕ реле"));
    EXPECT_EQ(window.changeKind, InsulationChange::Decrease);
    // The pickers were loaded from the relay's clock, which started at the computer's time.
    EXPECT_LE(std::abs(window.pickers.secsTo(QDateTime::currentDateTime())), 5);

    // A setpoint typed in place goes to the relay and comes back with the next read.
    model->PageControl1Change(kPageSetpoints);
    ASSERT_TRUE(model->PanUstClick(QStringLiteral("PanUst8")));
    for (int key : {int{'4'}, int{'5'}, int{'0'}, 13}) {
        model->PanelUstKeyPressFloat(QStringLiteral("PanUst8"), key);
    }
    ASSERT_TRUE(runFor(3000, [this] { return simRegister(0x0408) == 450; }));
    window.texts.remove(QStringLiteral("PanUst8"));
    ASSERT_TRUE(runFor(3000, [this] { return shown("PanUst8") == QStringLiteral("450"); }));

    // The clock set to a picked date and time: the relay's clock line follows.
    model->PageControl1Change(kPageCurrent);
    const QDate picked(2031, 7, 4);
    model->BtnSaveDTClick(picked, QTime(10, 20, 30));
    const QString year = QString::number(QDate::currentDate().year());
    ASSERT_TRUE(runFor(4000, [&] {
        return shown("LabelDTDefence").startsWith(QStringLiteral("04.07.%1   10:2").arg(year));
    })) << qPrintable(shown("LabelDTDefence"));
    EXPECT_EQ(simRegister(0x010F), 2031);
    EXPECT_EQ(simRegister(0x010C), picked.dayOfWeek() % 7);

    // Then to the computer's clock.
    model->BtnSaveDTSysClick();
    ASSERT_TRUE(runFor(4000, [this] {
        RegisterWords w{};
        const QDateTime now = QDateTime::currentDateTime();
        const QString line = shown("LabelDTDefence");
        for (int late = 0; late <= 3; ++late) {
            const QDateTime t = now.addSecs(-late);
            w[9] = static_cast<uint16_t>(t.time().second());
            w[10] = static_cast<uint16_t>(t.time().minute());
            w[11] = static_cast<uint16_t>(t.time().hour());
            w[13] = static_cast<uint16_t>(t.date().day());
            w[14] = static_cast<uint16_t>(t.date().month());
            if (line == relayClockText(w, t.date().year(), core->main.locale())) {
                return true;
            }
        }
        return false;
    })) << qPrintable(shown("LabelDTDefence"));
    EXPECT_EQ(simRegister(0x010F), QDate::currentDate().year());

    // A report of trip protocol 2, as the relay holds it, in the working folder.
    model->PageControl1Change(kPageTripProtocols);
    model->SpinEditNumbProtChange(2);
    EXPECT_FALSE(window.enabled(QStringLiteral("BtnCreateFileProt")));
    ASSERT_TRUE(runFor(3000, [this] { return model->shownTripProtocol() == 2; }));
    EXPECT_TRUE(window.enabled(QStringLiteral("BtnCreateFileProt")));
    model->BtnCreateFileProtClick();
    ASSERT_TRUE(runFor(3000, [this] { return !model->reportRequested(); }));
    EXPECT_TRUE(window.enabled(QStringLiteral("BtnCreateFileProt")));

    const QString reply = sim.command(QStringLiteral("get 2 %1 32").arg(0x1020));
    ASSERT_TRUE(reply.startsWith(QLatin1String("ok "))) << qPrintable(reply);
    const QStringList values = reply.mid(3).split(QLatin1Char(' '));
    ASSERT_EQ(values.size(), 32);
    RegisterWords record{};
    for (int i = 0; i < 32; ++i) {
        record[static_cast<size_t>(i)] = static_cast<uint16_t>(values[i].toUInt());
    }
    const TripProtocolPage page = decodeTripProtocol(record);
    EXPECT_EQ(page.sign, shown("LabelSign"));
    EXPECT_EQ(page.sign, QStringLiteral("Реле ОТКЛЮЧЕНИЯ"));
    const QString name = QStringLiteral("Protokols/") + reportFileName(page.stamp);
    ASSERT_TRUE(station.folder.exists(name)) << qPrintable(name);
    EXPECT_EQ(station.folder.read(name), reportBytes(QStringLiteral("Ген. 2"), 2, page));
    // Only the word of where the report went.
    ASSERT_EQ(station.messages.messages.size(), 1);
    EXPECT_EQ(station.messages.messages[0].icon, MessageIcon::Information);
    EXPECT_TRUE(station.messages.messages[0].text.endsWith(QDir::toNativeSeparators(name)))
        << qPrintable(station.messages.messages[0].text);
}

TEST_F(ParamWindowE2E, RelayFallingSilentClosesTheWindow) {
    openRelay2();
    model->PageControl1Change(kPageCurrent);
    runFor(1500);
    EXPECT_EQ(window.closes, 0);
    ASSERT_TRUE(sim.command(QStringLiteral("silent 2 on")).startsWith(QLatin1String("ok")));
    // On TCP the link drops and re-opens a silent connection every few timeouts, and the request
    // counted for the re-opening never ends in a timeout, which moves the baseline now and then:
    // the close may take a few seconds longer than on the serial line.
    ASSERT_TRUE(runFor(20000, [this] { return window.closes > 0; }));
    model->FormClose();
    model->afterClose();
    // Relay 1 goes on being polled; relay 2 drops to "no answer".
    ASSERT_TRUE(runFor(4000, [this] { return core->station.tile(2).state == kTileNoAnswer; }));
    EXPECT_NE(core->station.tile(1).state, kTileNoAnswer);
    EXPECT_TRUE(station.messages.messages.isEmpty());
}

}  // namespace
}  // namespace terval
