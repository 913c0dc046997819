// Every window the station opens, on the smallest screen it is made for: each lies inside the
// screen's free area when shown, whatever its own size or its opener's place, and stays inside
// when it grows (the parameter window takes the height of each page).
#include <gtest/gtest.h>
#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QGuiApplication>
#include <QScreen>
#include <QTest>

#include "devices/device_editor.h"
#include "devices/device_table.h"
#include "support/fakes.h"
#include "support/find_child.h"
#include "widgets/widget_page_control.h"
#include "windows/main/form_main.h"
#include "windows/main/windowed_station.h"
#include "windows/param/form_param.h"

namespace terval {
namespace {

using testing::child;

using testing::FixedClock;
using testing::RecordingMessageSink;
using testing::WorkFolder;

class ScreenFitTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { installFontSubstitutions(); }

    void SetUp() override {
        folder.addPictures();
        DeviceTable t;
        for (int n = 1; n <= 12; ++n) {
            t.append(newDeviceEntry(n));
        }
        folder.write("gen.dat", t.toFileBytes());
        windowed = std::make_unique<WindowedStation>(folder.dir(), messages, clock,
                                                     QLocale(QLocale::Russian, QLocale::Russia));
        form = &windowed->window();
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form));
    }

    static QRect area() { return QGuiApplication::primaryScreen()->availableGeometry(); }

    // Shown the way the station shows it (modal ones too: the check needs no nested loop).
    static void showAndCheck(QWidget* w, const QString& what) {
        w->show();
        QApplication::processEvents();
        QApplication::processEvents();
        check(w, what);
    }
    static void check(QWidget* w, const QString& what) {
        EXPECT_TRUE(area().contains(w->frameGeometry()))
            << qPrintable(what) << " at " << w->frameGeometry().x() << ',' << w->frameGeometry().y()
            << ' ' << w->frameGeometry().width() << 'x' << w->frameGeometry().height() << " on "
            << area().width() << 'x' << area().height();
    }

    WorkFolder folder;
    RecordingMessageSink messages;
    FixedClock clock{QDateTime(QDate(2026, 12, 7), QTime(10, 0, 0))};
    // As main() has it: the station outlives its windows.
    std::unique_ptr<WindowedStation> windowed;
    TFormMain* form = nullptr;
};

TEST_F(ScreenFitTest, EveryWindowOpensInsideTheScreenWhereverItsOpenerStands) {
    ASSERT_EQ(area().size(), QSize(1024, 768)) << "the tests' screen is 1024 x 768";
    check(form, QStringLiteral("FormMain"));
    const char* const names[] = {
        "FormJournal",     "FormTrend", "FormParam",      "FormStat",     "FormVis",
        "FormDvig",        "FormAbout", "FormOptConnect", "FormComSetup", "FormJournalProtocol",
        "FormAlarmReport", "FormAlarms"};
    // Windows centred on their opener come out off the screen when the opener is at its edge.
    const QPoint corners[] = {area().topLeft(), area().bottomRight() - QPoint(300, 200),
                              QPoint(area().right() - 200, area().top())};
    for (const QPoint corner : corners) {
        form->move(corner);
        QApplication::processEvents();
        for (const char* name : names) {
            auto* w = form->findChild<QWidget*>(QString::fromLatin1(name));
            ASSERT_NE(w, nullptr) << name;
            showAndCheck(w, QString::fromLatin1(name));
            // A window shown again, after the operator left it partly off the screen.
            w->move(area().right() - 100, area().bottom() - 50);
            w->hide();
            showAndCheck(w, QString::fromLatin1(name) + QStringLiteral(" again"));
            w->hide();
        }
    }
    // The journal, the trend and the alarms keep a size the screen can hold and every control in
    // sight.
    for (const char* name : {"FormJournal", "FormTrend", "FormAlarms"}) {
        auto* w = form->findChild<QWidget*>(QString::fromLatin1(name));
        showAndCheck(w, QString::fromLatin1(name));
        EXPECT_GE(w->width(), w->minimumWidth());
        for (QWidget* child : w->findChildren<QWidget*>()) {
            if (child->isVisible() && qobject_cast<QAbstractButton*>(child)) {
                const QRect onScreen(child->mapToGlobal(QPoint(0, 0)), child->size());
                EXPECT_TRUE(area().contains(onScreen))
                    << name << ": " << qPrintable(child->objectName());
            }
        }
        w->hide();
    }
    // The save dialogs of the journal and the trend.
    for (QFileDialog* d : form->findChildren<QFileDialog*>()) {
        showAndCheck(d, d->objectName());
        d->hide();
    }
}

TEST_F(ScreenFitTest, ParameterWindowStaysInsideAsItTakesTheHeightOfEachPage) {
    auto* param = form->findChild<TFormParam*>(QStringLiteral("FormParam"));
    ASSERT_NE(param, nullptr);
    showAndCheck(param, QStringLiteral("FormParam"));
    PageControl* pages = child<PageControl>(param, "PageControl1");
    int tallest = 0;
    // Every order of pages, so that each grows from each other one.
    for (int from = -1; from < pages->count(); ++from) {
        for (int to = 0; to < pages->count(); ++to) {
            for (int page = 0; page < pages->count(); ++page) {
                pages->setTabVisible(page, true);
            }
            pages->setActivePage(from);
            QApplication::processEvents();
            pages->setActivePage(to);
            QApplication::processEvents();
            QApplication::processEvents();
            tallest = std::max(tallest, param->frameGeometry().height());
            check(param, QStringLiteral("FormParam, page %1 after %2").arg(to).arg(from));
            // The tab row, where the operator picks the next page, is in sight.
            const QRect tabs(pages->tabBar()->mapToGlobal(QPoint(0, 0)), pages->tabBar()->size());
            EXPECT_TRUE(area().contains(tabs)) << to << " after " << from;
        }
    }
    EXPECT_LE(tallest, area().height());
    param->hide();
}

}  // namespace
}  // namespace terval
