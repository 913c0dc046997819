#pragma once

#include <QAction>
#include <QLabel>
#include <QLocale>
#include <QMainWindow>
#include <QMenu>
#include <QPixmap>
#include <QScrollArea>
#include <QStatusBar>
#include <QTextEdit>
#include <QTimer>
#include <array>
#include <memory>
#include <optional>

#include "alarms/alarm_book.h"
#include "app/main_controller.h"
#include "app/main_view_relay.h"
#include "app/station_core.h"
#include "station/clock.h"
#include "station/main_view.h"
#include "station/message_sink.h"
#include "station/station.h"

namespace terval {

class LedIndicator;
class TFormVis;
class TFormDvig;
class TFormAbout;
class TFormAlarms;
class TFormJournal;
class TFormOptConnect;
class TFormParam;
class TFormStat;
class TFormTrend;

// Fonts that the windows ask for by name; on a bare Linux they are mapped to faces with Cyrillic.
void installFontSubstitutions();

// The station's main window: the tiles of the relays, the menus, the link display, the clock and
// the alarm log. The class, its controls (ComLed, LabelNum, RichEdit, …) and its handlers
// (NConnectingClick, NExitClick, …) keep the names the station's description gives them; the rest
// is named as the code around it. Its rules live in MainController; this class only shows and
// forwards. It shows a core made before it and kept after it (WindowedStation), attaching itself to
// the relay the core shows through for as long as it exists; its secondary windows are its children
// and go with it.
class TFormMain : public QMainWindow, public MainView, public AlarmListener {
    Q_OBJECT
  public:
    // Starts the core: the stored files, the tiles, the journal.
    TFormMain(StationCore& core, MainViewRelay& shownThrough, MessageSink& messages,
              const Clock& clock, QWidget* parent = nullptr);
    ~TFormMain() override;

    Station& station() { return core_.station; }
    MainController& controller() { return core_.main; }
    StationCore& core() { return core_; }
    // Opens the link as "Установить связь" does, when there is a relay to poll; for a start with
    // --connect or with "Устанавливать связь при запуске" set.
    void connectAtStart();

    // Menu commands, callable from tests without a click.
    void NOptionNetClick();
    void NSaveParamClick();
    void NExitClick();
    void NOPenWindowClick();
    void NParamClick();
    void NStatisticConnectClick();
    void NAddNewObjectClick();
    void NDelObjectClick();
    void NPositionClick();
    void NConnectingClick();
    void NPOpenWindowClick();
    void N4Click();
    void NDelInsClick();
    void NDelListClick();
    void NDelAllClick();
    // The journal (F9) and the trend (F11), from the menu, and the trend of the relay whose tile
    // opened the pop-up.
    void openJournal();
    void openTrend();
    void openTrendOfSelectedRelay();
    // "Аварийные сигналы" (F12, or the status bar's counter).
    void openAlarms();
    // "Заглушить": Ctrl+Space in any of the station's windows, and the alarm window's button.
    void silenceAlarms();
    // The tile pop-up's alarm items, for the relay whose tile opened it.
    void acknowledgeSelectedRelayAlarms();
    void silenceSelectedRelayAlarms();
    void shelveSelectedRelayAlarm();
    // Why the alarms make no sound, said once in the status bar; empty says nothing.
    void showSoundTrouble(const QString& text);

    QAction* menuAction(MenuItem item) const { return menuActions_[static_cast<size_t>(item)]; }
    QMenu* tilePopup() const { return PopupMenu; }
    TFormAlarms* alarmWindow() const { return FormAlarms; }
    QLabel* tilePicture(int i) const { return tile(i).picture; }
    QLabel* tileGeneratorLabel(int i) const { return tile(i).generator; }
    QLabel* tileBreakerLabel(int i) const { return tile(i).breaker; }
    QLabel* tileValueLabel(int i) const { return tile(i).value; }
    bool tileDrawnSelected(int i) const { return tile(i).selected; }
    // The outer frame the station last asked for.
    QRect requestedFrame() const { return requestedFrame_; }

    // MainView
    QStringList loadTilePictures(const QDir& folder) override;
    void applyMenuMask(MenuMask mask) override;
    void setMenuItemEnabled(MenuItem item, bool enabled) override;
    void buildTile(int i, QPoint offset, const QString& generator, const QString& breaker) override;
    void freeTile(int i) override;
    void showTileNames(int i, const QString& generator, const QString& breaker) override;
    void showTileState(int i, int state) override;
    void showTileValue(int i, const QString& text, bool visible) override;
    void showTileAge(int i, bool stale, const QString& lastAnswer) override;
    void drawTileSelected(int i, bool selected) override;
    void placeWindow(const QRect& frame) override;
    QSize screenSize() const override;
    QRect availableArea() const override;
    void setSerialDisplayVisible(bool visible) override;
    void showClock(const QString& date, const QString& time, const QString& portLabel) override;
    void clearAlarmLog() override;
    void setLed(Led led, bool lit) override;
    void showPortState(bool open) override;
    void showConnectCommand(bool linkUp) override;
    void setStatusText(const QString& text) override;
    void showLinkAttempt(const QString& text) override;
    void showBrokerState(const QString& text, bool trouble) override;
    void showServerState(const QString& text) override;
    void setPollTimerRunning(bool running) override;
    void showAlarmLog(const AlarmLog& log) override;
    void setAlarmCommandsEnabled(bool enabled) override;
    bool isMainWindowActive() const override;

    // AlarmListener
    void alarmsChanged() override;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    struct TileControls {
        QLabel* picture = nullptr;
        QLabel* generator = nullptr;
        QLabel* breaker = nullptr;
        QLabel* value = nullptr;
        int state = kTileNoAnswer;
        bool selected = false;
        // The colour of the value last set, invalid until the first one.
        QColor valueColor;
    };

    void buildMenus();
    void buildAlarmLogMenu();
    void buildAlarmControls();
    // The counter and the flood warning in the status bar, as the alarms stand now.
    void showAlarmStatus();
    void showOperatorAction();
    // The ids of the shown alarms of the relay whose tile opened the pop-up.
    std::vector<QString> popupRelayAlarms() const;
    void buildBottomPanel(QWidget* panel);
    void updateTilePicture(int i);
    void resizeTileArea();
    // Whether the log shows `log` already, with its selection and view as writing it leaves them.
    bool alarmLogShownAs(const AlarmLog& log) const;
    int tileOfControl(const QObject* control) const;
    const TileControls& tile(int i) const { return tiles_.at(static_cast<size_t>(i)); }
    TileControls& tile(int i) { return tiles_.at(static_cast<size_t>(i)); }

    StationCore& core_;
    MainViewRelay& shownThrough_;
    MessageSink& messages_;

    // Opaque pictures by tile state (Bitmap1, Bitmap2, Bitmap3) and the reserve Bitmap4, and the
    // same with their background colour masked out for unselected tiles.
    std::array<QPixmap, 4> pictures_;
    std::array<QPixmap, 4> maskedPictures_;
    std::array<TileControls, kMaxDevices + 1> tiles_{};

    std::array<QAction*, kMenuItemCount> menuActions_{};
    QRect requestedFrame_;
    // What the port label and the alarm log were last given; unknown before the first time.
    std::optional<bool> portShownOpen_;
    std::optional<AlarmLog> shownLog_;

    // Controls of the window, under their documented names; each carries its name as its
    // objectName, which is how the tests find it.
    QScrollArea* ScrollBox = nullptr;
    QWidget* tileArea = nullptr;
    QStatusBar* StatusBar = nullptr;
    QWidget* ScrollBox1 = nullptr;
    LedIndicator* ComLed = nullptr;
    QLabel* LabelNum = nullptr;
    QLabel* LabelPort = nullptr;
    QLabel* LabelAttempt = nullptr;
    QLabel* LabelBroker = nullptr;
    QLabel* LabelServer = nullptr;
    // The alarms' part of the status bar: the counter that opens the alarm window, the flood
    // warning, and why there is no sound.
    QLabel* LabelUnacknowledged = nullptr;
    QLabel* LabelFlood = nullptr;
    QLabel* LabelSound = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* LabelD = nullptr;
    QLabel* LabelT = nullptr;
    LedIndicator* AbLEDTxD = nullptr;
    LedIndicator* AbLEDRxD = nullptr;
    QTextEdit* RichEdit = nullptr;
    QMenu* PopupMenu = nullptr;
    QMenu* PopupDel = nullptr;
    QAction* NDelIns = nullptr;
    QAction* NDelList = nullptr;
    QAction* NDelAll = nullptr;
    QAction* NPParam = nullptr;
    QAction* NPStatisticConnect = nullptr;
    QAction* NPOpenWindow = nullptr;
    // "Журнал событий" (F9): not one of the masked items, it is there whatever the link does.
    QAction* NJournal = nullptr;
    // "Тренд сопротивления изоляции" (F11): as the journal's, there whatever the link does.
    QAction* NTrend = nullptr;
    QAction* NPTrend = nullptr;
    // "Аварийные сигналы" (F12): a key of the window and the status bar's counter, in no menu.
    QAction* NAlarms = nullptr;
    QAction* NPAcknowledge = nullptr;
    QAction* NPSilence = nullptr;
    QAction* NPShelve = nullptr;
    // The tile the pop-up was opened on, for its alarm items.
    int popupTile_ = 0;
    QTimer* Timer = nullptr;
    QTimer* Timer1 = nullptr;
    TFormVis* FormVis = nullptr;
    TFormDvig* FormDvig = nullptr;
    TFormParam* FormParam = nullptr;
    TFormStat* FormStat = nullptr;
    TFormOptConnect* FormOptConnect = nullptr;
    TFormAbout* FormAbout = nullptr;
    TFormJournal* FormJournal = nullptr;
    TFormTrend* FormTrend = nullptr;
    TFormAlarms* FormAlarms = nullptr;
    // Gathers the alarms' changes for the alarm window: a flood moves several alarms each poll,
    // and the window is read by a person, not by the poll.
    QTimer* alarmRefresh_ = nullptr;
};

}  // namespace terval
