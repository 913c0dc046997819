#include "windows/main/form_main.h"

#include <QApplication>
#include <QBitmap>
#include <QCloseEvent>
#include <QFileInfo>
#include <QFont>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QToolTip>
#include <QVBoxLayout>
#include <functional>

#include "app/alarm_window_model.h"
#include "devices/tile_grid.h"
#include "devices/tile_pictures.h"
#include "station/station_texts.h"
#include "widgets/widget_led.h"
#include "windows/alarms/form_alarms.h"
#include "windows/dialogs/form_about.h"
#include "windows/dialogs/form_dvig.h"
#include "windows/dialogs/form_opt_connect.h"
#include "windows/dialogs/form_stat.h"
#include "windows/dialogs/form_vis.h"
#include "windows/journal/form_journal.h"
#include "windows/param/form_param.h"
#include "windows/trend/form_trend.h"

namespace terval {
namespace {

QFont namedFont(const QString& family, int pixelSize, bool bold = false) {
    QFont f(family);
    f.setPixelSize(pixelSize);
    f.setBold(bold);
    return f;
}

QFont tileFont() {
    return namedFont(QStringLiteral("Times New Roman"), 16, true);
}

// The station repeats most of what it shows at every poll; a label given its own text again is
// left alone, so that nothing is laid out or drawn for it.
void setLabelText(QLabel* label, const QString& text) {
    if (label->text() != text) {
        label->setText(text);
    }
}

void setToolTipText(QWidget* widget, const QString& text) {
    if (widget->toolTip() != text) {
        widget->setToolTip(text);
    }
}

// A name on a tile ends before the next tile begins; one too wide for that is cut with an
// ellipsis, and the whole of it is under the mouse pointer.
void showTileName(QLabel* label, const QString& name) {
    const int room = kTilePitchX - kTileGeneratorPos.x() - 4;
    const QString shown = label->fontMetrics().elidedText(name, Qt::ElideRight, room);
    setToolTipText(label, shown == name ? QString() : name);
    if (label->text() != shown) {
        label->setText(shown);
        label->adjustSize();
    }
}

QLabel* panelLabel(QWidget* parent, const QString& name, const QString& text, QRect geometry,
                   const QFont& font, const QColor& color, Qt::Alignment align) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setFont(font);
    label->setAlignment(align);
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, color);
    label->setPalette(pal);
    if (geometry.width() > 0) {
        label->setGeometry(geometry);
    } else {
        label->move(geometry.topLeft());
        label->adjustSize();
    }
    return label;
}

// Drawn in place of a picture file that could not be loaded, so the tile still tells its state.
QPixmap fallbackPicture(int index) {
    static const QColor colors[] = {QColor(0x80, 0x80, 0x80), QColor(0xD0, 0x20, 0x20),
                                    QColor(0x20, 0xA0, 0x30), QColor(0x30, 0x60, 0xC0)};
    QPixmap pix(150, 190);
    pix.fill(QColor(0x1F, 0x5F, 0xBF));
    QPainter p(&pix);
    p.fillRect(QRect(5, 5, 140, 180), colors[index].lighter(170));
    p.fillRect(QRect(5, 5, 140, 30), colors[index]);
    return pix;
}

// How long the alarm window gathers changes before it shows them.
constexpr int kAlarmWindowRefreshMs = 250;

// The station's alarm engine, as the core keeps it.
AlarmBook& alarmBookOf(StationCore& core) {
    return core.alarms;
}

// Ctrl+Space in any of the station's windows, a modal dialog included, which a shortcut of the
// main window would not reach: it watches the application's key presses, apart from the main
// window's own filter, which is told its controls' events only.
class SilenceKeyFilter final : public QObject {
  public:
    SilenceKeyFilter(std::function<void()> silence, QObject* parent)
        : QObject(parent), silence_(std::move(silence)) {}

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::KeyPress) {
            return QObject::eventFilter(watched, event);
        }
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() != Qt::Key_Space ||
            (key->modifiers() & ~Qt::KeypadModifier) != Qt::ControlModifier) {
            return QObject::eventFilter(watched, event);
        }
        // Taken here, so that it acts once however far up the windows the key would travel.
        if (!key->isAutoRepeat()) {
            silence_();
        }
        return true;
    }

  private:
    std::function<void()> silence_;
};

}  // namespace

void installFontSubstitutions() {
    QFont::insertSubstitutions(
        QStringLiteral("Times New Roman"),
        {QStringLiteral("Liberation Serif"), QStringLiteral("DejaVu Serif")});
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                               {QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")});
}

TFormMain::TFormMain(StationCore& core, MainViewRelay& shownThrough, MessageSink& messages,
                     const Clock& clock, QWidget* parent)
    : QMainWindow(parent), core_(core), shownThrough_(shownThrough), messages_(messages) {
    setObjectName(QStringLiteral("FormMain"));
    setWindowTitle(kStationCaption);
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFont(namedFont(QStringLiteral("MS Sans Serif"), 11));

    auto* central = new QWidget(this);
    auto* column = new QVBoxLayout(central);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    ScrollBox = new QScrollArea(central);
    ScrollBox->setObjectName(QStringLiteral("ScrollBox"));
    ScrollBox->setFrameShape(QFrame::StyledPanel);
    tileArea = new QWidget;
    tileArea->setObjectName(QStringLiteral("TileArea"));
    ScrollBox->setWidget(tileArea);
    ScrollBox->setWidgetResizable(false);
    column->addWidget(ScrollBox, 1);

    StatusBar = new QStatusBar(central);
    StatusBar->setObjectName(QStringLiteral("StatusBar"));
    StatusBar->setSizeGripEnabled(false);
    // The broker stands apart from the link's line, which the link rewrites at every change.
    LabelBroker = new QLabel(StatusBar);
    LabelBroker->setObjectName(QStringLiteral("LabelBroker"));
    LabelBroker->setVisible(false);
    StatusBar->addPermanentWidget(LabelBroker);
    LabelServer = new QLabel(StatusBar);
    LabelServer->setObjectName(QStringLiteral("LabelServer"));
    LabelServer->setStyleSheet(QStringLiteral("padding-right: 6px;"));
    LabelServer->setVisible(false);
    StatusBar->addPermanentWidget(LabelServer);
    buildAlarmControls();
    column->addWidget(StatusBar);

    ScrollBox1 = new QWidget(central);
    ScrollBox1->setObjectName(QStringLiteral("ScrollBox1"));
    ScrollBox1->setFixedHeight(204);
    buildBottomPanel(ScrollBox1);
    column->addWidget(ScrollBox1);
    setCentralWidget(central);

    buildMenus();

    Timer = new QTimer(this);
    Timer->setObjectName(QStringLiteral("Timer"));
    Timer->setInterval(100);
    Timer->setTimerType(Qt::PreciseTimer);
    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(1000);
    connect(Timer1, &QTimer::timeout, this, [this] {
        core_.Timer1Timer();
        showAlarmStatus();
    });
    connect(Timer, &QTimer::timeout, this, [this] { core_.link.TimerTimer(); });

    // What the core shows comes here from now on, starting with the start-up below.
    shownThrough_.attach(this);
    core_.setTilePictureSources(installedTilePictureFolders());
    core_.start();
    Timer1->start();

    // The secondary windows exist from the start and are shown on demand.
    FormVis = new TFormVis(core_.station.params, messages_, this);
    FormDvig = new TFormDvig(core_.main, this);
    FormParam = new TFormParam(core_, this);
    FormStat = new TFormStat(core_.station.devices, this);
    FormOptConnect =
        new TFormOptConnect(core_.station.connection, core_.link.serialSettings(),
                            core_.station.settings, core_.station.folder, messages_, this);
    FormAbout = new TFormAbout(this);
    FormJournal = new TFormJournal(core_.journal(), core_.station.devices, core_.station.folder,
                                   messages_, clock, this);
    FormTrend = new TFormTrend(core_.trend(), core_.journal(), core_.station.devices,
                               core_.station.folder, messages_, clock, this);
    connect(FormParam, &TFormParam::trendRequested, this,
            [this](int relay) { FormTrend->showForRelay(relay, FormParam); });
    FormAlarms = new TFormAlarms(alarmBookOf(core_), core_.station.devices, clock, this);
    alarmRefresh_ = new QTimer(this);
    alarmRefresh_->setSingleShot(true);
    alarmRefresh_->setInterval(kAlarmWindowRefreshMs);
    connect(alarmRefresh_, &QTimer::timeout, this, [this] {
        if (FormAlarms->isVisible()) {
            FormAlarms->refresh();
        }
    });

    // From here on the alarm window and the status bar follow the alarms, starting with those
    // the start-up brought back.
    alarmBookOf(core_).setListener(this);
    alarmsChanged();
    qApp->installEventFilter(new SilenceKeyFilter([this] { silenceAlarms(); }, this));
}

TFormMain::~TFormMain() {
    // The core outlives this window and its children; from here on it shows nothing.
    alarmBookOf(core_).setListener(nullptr);
    shownThrough_.attach(nullptr);
}

void TFormMain::buildAlarmControls() {
    // Permanent, so that the link's line, which the bar shows as a message, never hides them;
    // they stand at the right, in front of the broker's state.
    LabelUnacknowledged = new QLabel(StatusBar);
    LabelUnacknowledged->setObjectName(QStringLiteral("LabelUnacknowledged"));
    LabelUnacknowledged->setCursor(Qt::PointingHandCursor);
    LabelUnacknowledged->setToolTip(QStringLiteral("Аварийные сигналы (F12)"));
    LabelUnacknowledged->installEventFilter(this);
    StatusBar->insertPermanentWidget(0, LabelUnacknowledged);
    LabelFlood = new QLabel(floodWarningText(true), StatusBar);
    LabelFlood->setObjectName(QStringLiteral("LabelFlood"));
    LabelFlood->setStyleSheet(
        QStringLiteral("color: white; background: #b00000; font-weight: bold; padding: 0 6px;"));
    LabelFlood->setToolTip(QStringLiteral("Больше %1 сигналов за %2 минут")
                               .arg(AlarmBook::kFloodAlarms)
                               .arg(AlarmBook::kFloodWindowSeconds / 60));
    LabelFlood->setVisible(false);
    StatusBar->insertPermanentWidget(1, LabelFlood);
    LabelSound = new QLabel(StatusBar);
    LabelSound->setObjectName(QStringLiteral("LabelSound"));
    LabelSound->setStyleSheet(QStringLiteral("color: #b00000; padding-right: 6px;"));
    LabelSound->setVisible(false);
    StatusBar->insertPermanentWidget(2, LabelSound);

    NAlarms = new QAction(QStringLiteral("Аварийные сигналы"), this);
    NAlarms->setObjectName(QStringLiteral("NAlarms"));
    NAlarms->setShortcut(QKeySequence(Qt::Key_F12));
    connect(NAlarms, &QAction::triggered, this, &TFormMain::openAlarms);
    addAction(NAlarms);
}

void TFormMain::buildBottomPanel(QWidget* panel) {
    auto* row = new QHBoxLayout(panel);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    auto* left = new QWidget(panel);
    left->setObjectName(QStringLiteral("PanelLinkDisplay"));
    row->addWidget(left, 1);

    const QFont bold13 = namedFont(QStringLiteral("Times New Roman"), 13, true);
    const QColor black(Qt::black);
    const QColor green(0x00, 0x80, 0x00);

    // Lit while the serial port is open, like the link lamps below it.
    ComLed =
        new LedIndicator(QString(), left, QColor(0x00, 0xFF, 0x00), QColor(0xC0, 0xC0, 0xC0), 15);
    ComLed->setObjectName(QStringLiteral("ComLed"));
    ComLed->setGeometry(0, 0, 21, 25);
    LabelNum = panelLabel(left, QStringLiteral("LabelNum"), QStringLiteral("COM 1"),
                          QRect(20, 8, 59, 15), bold13, black, Qt::AlignCenter);
    LabelPort = panelLabel(
        left, QStringLiteral("LabelPort"), QStringLiteral("ЗАКРЫТ"), QRect(8, 24, 81, 21),
        namedFont(QStringLiteral("Times New Roman"), 16, true), black, Qt::AlignCenter);
    LabelPort->setAutoFillBackground(true);
    {
        QPalette pal = LabelPort->palette();
        pal.setColor(QPalette::Window, pal.color(QPalette::Button));
        LabelPort->setPalette(pal);
    }
    Label2 = panelLabel(left, QStringLiteral("Label2"), QStringLiteral("____________"),
                        QRect(4, 44, 0, 0), font(), black, Qt::AlignLeft);
    Label3 = panelLabel(left, QStringLiteral("Label3"), QStringLiteral("Дата/время:"),
                        QRect(4, 60, 0, 0), bold13, black, Qt::AlignLeft);
    LabelD = panelLabel(left, QStringLiteral("LabelD"), QString(), QRect(8, 80, 77, 15), bold13,
                        green, Qt::AlignCenter);
    LabelT = panelLabel(left, QStringLiteral("LabelT"), QString(), QRect(8, 100, 73, 15), bold13,
                        green, Qt::AlignCenter);
    AbLEDTxD = new LedIndicator(QStringLiteral("TxD"), left);
    AbLEDTxD->setObjectName(QStringLiteral("AbLEDTxD"));
    AbLEDTxD->setGeometry(12, 124, 49, 21);
    AbLEDRxD = new LedIndicator(QStringLiteral("RxD"), left);
    AbLEDRxD->setObjectName(QStringLiteral("AbLEDRxD"));
    AbLEDRxD->setGeometry(12, 148, 49, 21);
    // The link lamps blink with every request. They lie on the window's own plain background and
    // fill it themselves, so that a blink repaints the lamp alone and not the panels beneath it.
    for (LedIndicator* lamp : {AbLEDTxD, AbLEDRxD}) {
        lamp->setAutoFillBackground(true);
    }
    LabelAttempt =
        panelLabel(left, QStringLiteral("LabelAttempt"), QString(), QRect(4, 174, 180, 21),
                   namedFont(QStringLiteral("Times New Roman"), 13, true), QColor(0xB0, 0x00, 0x00),
                   Qt::AlignLeft | Qt::AlignVCenter);

    RichEdit = new QTextEdit(panel);
    RichEdit->setObjectName(QStringLiteral("RichEdit"));
    RichEdit->setFixedWidth(289);
    RichEdit->setReadOnly(true);
    RichEdit->setLineWrapMode(QTextEdit::NoWrap);
    RichEdit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    RichEdit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    RichEdit->viewport()->setCursor(Qt::ArrowCursor);
    RichEdit->setFont(namedFont(QStringLiteral("Times New Roman"), 15));
    RichEdit->setTextColor(green);
    RichEdit->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    RichEdit->setContextMenuPolicy(Qt::CustomContextMenu);
    RichEdit->viewport()->installEventFilter(this);
    RichEdit->installEventFilter(this);
    row->addWidget(RichEdit);
    buildAlarmLogMenu();
}

void TFormMain::buildAlarmLogMenu() {
    PopupDel = new QMenu(this);
    PopupDel->setObjectName(QStringLiteral("PopupDel"));
    auto item = [this](const char* name, const QString& caption, const QKeySequence& key,
                       void (TFormMain::*handler)()) {
        auto* a = new QAction(caption, PopupDel);
        a->setObjectName(QString::fromLatin1(name));
        if (!key.isEmpty()) {
            a->setShortcut(key);
            // The log's keys act while the log has the focus, as its pop-up's keys always have.
            a->setShortcutContext(Qt::WidgetWithChildrenShortcut);
            RichEdit->addAction(a);
        }
        a->setEnabled(false);
        connect(a, &QAction::triggered, this, handler);
        PopupDel->addAction(a);
        return a;
    };
    NDelIns = item("NDelIns", QStringLiteral("Снять выделение"), QKeySequence(Qt::Key_Insert),
                   &TFormMain::NDelInsClick);
    NDelList = item("NDelList", QStringLiteral("Удалить выбранную аварию   D"),
                    QKeySequence(Qt::Key_Delete), &TFormMain::NDelListClick);
    NDelAll = item("NDelAll", QStringLiteral("Удалить все аварии"), {}, &TFormMain::NDelAllClick);
    connect(RichEdit, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { PopupDel->popup(RichEdit->viewport()->mapToGlobal(pos)); });
}

void TFormMain::buildMenus() {
    auto action = [this](MenuItem item, const char* name, const QString& caption,
                         const QKeySequence& key, void (TFormMain::*handler)()) {
        auto* a = new QAction(caption, this);
        a->setObjectName(QString::fromLatin1(name));
        if (!key.isEmpty()) {
            a->setShortcut(key);
        }
        connect(a, &QAction::triggered, this, handler);
        menuActions_[static_cast<size_t>(item)] = a;
        return a;
    };

    QMenu* n1 = menuBar()->addMenu(QStringLiteral("Настройки"));
    n1->setObjectName(QStringLiteral("N1"));
    n1->addAction(action(MenuItem::NOptionNet, "NOptionNet", QStringLiteral("Настройки связи"), {},
                         &TFormMain::NOptionNetClick));
    n1->addAction(action(MenuItem::NSaveParam, "NSaveParam",
                         QStringLiteral("Сохранить параметры       "), QKeySequence(Qt::Key_F2),
                         &TFormMain::NSaveParamClick));
    n1->addSeparator()->setObjectName(QStringLiteral("N3"));
    n1->addAction(action(MenuItem::NExit, "NExit", QStringLiteral("Выход"),
                         QKeySequence(Qt::ALT | Qt::Key_X), &TFormMain::NExitClick));

    QMenu* n2 = menuBar()->addMenu(QStringLiteral("Объект"));
    n2->setObjectName(QStringLiteral("N2"));
    n2->addAction(action(MenuItem::NOPenWindow, "NOPenWindow", QStringLiteral("Открыть объект"),
                         QKeySequence(Qt::Key_F3), &TFormMain::NOPenWindowClick));
    n2->addAction(action(MenuItem::NParam, "NParam", QStringLiteral("Параметры"),
                         QKeySequence(Qt::Key_F4), &TFormMain::NParamClick));
    n2->addAction(action(MenuItem::NStatisticConnect, "NStatisticConnect",
                         QStringLiteral("Статистика связи"), QKeySequence(Qt::Key_F6),
                         &TFormMain::NStatisticConnectClick));
    NJournal = new QAction(QStringLiteral("Журнал событий"), this);
    NJournal->setObjectName(QStringLiteral("NJournal"));
    NJournal->setShortcut(QKeySequence(Qt::Key_F9));
    connect(NJournal, &QAction::triggered, this, &TFormMain::openJournal);
    n2->addAction(NJournal);
    NTrend = new QAction(QStringLiteral("Тренд сопротивления изоляции"), this);
    NTrend->setObjectName(QStringLiteral("NTrend"));
    NTrend->setShortcut(QKeySequence(Qt::Key_F11));
    connect(NTrend, &QAction::triggered, this, &TFormMain::openTrend);
    n2->addAction(NTrend);
    n2->addSeparator()->setObjectName(QStringLiteral("N5"));
    n2->addAction(action(MenuItem::NAddNewObject, "NAddNewObject",
                         QStringLiteral("Добавить новый объект      "), QKeySequence(Qt::Key_F7),
                         &TFormMain::NAddNewObjectClick));
    n2->addAction(action(MenuItem::NDelObject, "NDelObject", QStringLiteral("Удалить объект"),
                         QKeySequence(Qt::Key_F8), &TFormMain::NDelObjectClick));
    n2->addAction(action(MenuItem::NPosition, "NPosition", QStringLiteral("Расположение"),
                         QKeySequence(Qt::Key_F5), &TFormMain::NPositionClick));

    menuBar()->addAction(action(MenuItem::NConnecting, "NConnecting",
                                QStringLiteral("Установить связь"), QKeySequence(Qt::Key_F10),
                                &TFormMain::NConnectingClick));
    auto* about = new QAction(QStringLiteral("Описание программы"), this);
    about->setObjectName(QStringLiteral("N4"));
    connect(about, &QAction::triggered, this, &TFormMain::N4Click);
    menuBar()->addAction(about);

    // Each pop-up item shows the key of the main menu's item that does the same, so the key
    // learnt here works everywhere in the window; while the pop-up is open it acts there too.
    PopupMenu = new QMenu(this);
    PopupMenu->setObjectName(QStringLiteral("PopupMenu"));
    auto popupAction = [this](const char* name, const QString& caption, Qt::Key key,
                              void (TFormMain::*handler)()) {
        auto* a = new QAction(caption, PopupMenu);
        a->setObjectName(QString::fromLatin1(name));
        a->setShortcut(QKeySequence(key));
        a->setShortcutContext(Qt::WidgetShortcut);
        connect(a, &QAction::triggered, this, handler);
        PopupMenu->addAction(a);
        return a;
    };
    NPParam =
        popupAction("NPParam", QStringLiteral("Параметры "), Qt::Key_F4, &TFormMain::NParamClick);
    NPStatisticConnect =
        popupAction("NPStatisticConnect", QStringLiteral("Статистика связи        "), Qt::Key_F6,
                    &TFormMain::NStatisticConnectClick);
    NPOpenWindow = popupAction("NPOpenWindow", QStringLiteral("Открыть окно"), Qt::Key_F3,
                               &TFormMain::NPOpenWindowClick);
    NPTrend = popupAction("NPTrend", QStringLiteral("Тренд сопротивления изоляции"), Qt::Key_F11,
                          &TFormMain::openTrendOfSelectedRelay);
    // The relay's alarms, after the items the pop-up has always had.
    PopupMenu->addSeparator()->setObjectName(QStringLiteral("NPAlarmSeparator"));
    NPAcknowledge = new QAction(QStringLiteral("Квитировать"), PopupMenu);
    NPAcknowledge->setObjectName(QStringLiteral("NPAcknowledge"));
    connect(NPAcknowledge, &QAction::triggered, this, &TFormMain::acknowledgeSelectedRelayAlarms);
    NPSilence = new QAction(QStringLiteral("Заглушить"), PopupMenu);
    NPSilence->setObjectName(QStringLiteral("NPSilence"));
    NPSilence->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Space));
    NPSilence->setShortcutContext(Qt::WidgetShortcut);
    connect(NPSilence, &QAction::triggered, this, &TFormMain::silenceSelectedRelayAlarms);
    NPShelve = new QAction(QStringLiteral("Отложить..."), PopupMenu);
    NPShelve->setObjectName(QStringLiteral("NPShelve"));
    connect(NPShelve, &QAction::triggered, this, &TFormMain::shelveSelectedRelayAlarm);
    for (QAction* a : {NPAcknowledge, NPSilence, NPShelve}) {
        a->setEnabled(false);
        PopupMenu->addAction(a);
    }
    PopupMenu->installEventFilter(this);

    // Pop-ups are windows of their own and take no font from this one; they read as the bar does.
    for (QMenu* menu : {n1, n2, PopupMenu, PopupDel}) {
        menu->setFont(font());
    }
}

// ---- commands ----

void TFormMain::NOptionNetClick() {
    FormOptConnect->exec();
    setSerialDisplayVisible(station().connection.isSerial());
    // The port label names the port chosen at once, not at the next second.
    core_.main.Timer1Timer();
}

void TFormMain::NSaveParamClick() {
    core_.main.NSaveParamClick();
}

void TFormMain::connectAtStart() {
    if (menuAction(MenuItem::NConnecting)->isEnabled() && !core_.station.linkUp) {
        NConnectingClick();
    }
}

void TFormMain::NExitClick() {
    core_.link.requestClose();
    close();
}

void TFormMain::NOPenWindowClick() {
    // The parameter window works on the selected relay and needs it to answer (menu masks 796
    // and 788 enable this item only then).
    if (!menuAction(MenuItem::NOPenWindow)->isEnabled()) {
        return;
    }
    FormParam->openForSelectedRelay();
}

void TFormMain::NParamClick() {
    if (station().devices.SelectedDevice == 0) {
        return;
    }
    if (FormDvig->exec() == QDialog::Accepted) {
        core_.main.showSelectedTileNames();
    }
}

void TFormMain::NStatisticConnectClick() {
    if (station().devices.hasSelection()) {
        FormStat->exec();
    }
}

void TFormMain::openJournal() {
    FormJournal->showOrRaise();
}

void TFormMain::openTrend() {
    FormTrend->showFromMenu();
}

void TFormMain::NAddNewObjectClick() {
    core_.main.NAddNewObjectClick();
}

void TFormMain::NDelObjectClick() {
    core_.main.NDelObjectClick();
}

void TFormMain::NPositionClick() {
    FormVis->setScreenSize(screenSize());
    if (FormVis->exec() != QDialog::Accepted) {
        return;
    }
    core_.main.regrid(FormVis->columnsChanged());
}

void TFormMain::NConnectingClick() {
    core_.link.NConnectingClick();
}

void TFormMain::NPOpenWindowClick() {
    NOPenWindowClick();
}

void TFormMain::openTrendOfSelectedRelay() {
    if (station().devices.hasSelection()) {
        FormTrend->showForRelay(station().devices.SelectedDevice);
    }
}

void TFormMain::openAlarms() {
    FormAlarms->showOrRaise();
}

void TFormMain::silenceAlarms() {
    alarmBookOf(core_).silence();
    showOperatorAction();
}

void TFormMain::showOperatorAction() {
    // What the operator did shows at once; only the station's own changes are gathered.
    alarmRefresh_->stop();
    if (FormAlarms->isVisible()) {
        FormAlarms->refresh();
    }
}

std::vector<QString> TFormMain::popupRelayAlarms() const {
    std::vector<QString> ids;
    const DeviceTable& devices = core_.station.devices;
    if (popupTile_ < 1 || popupTile_ > devices.DeviceCount) {
        return ids;
    }
    const uint16_t address = devices.entry(popupTile_).Address;
    for (const Alarm& a : alarmBookOf(core_).shown()) {
        if (a.kind != AlarmKind::LinkLost && a.address == address) {
            ids.push_back(alarmId(a));
        }
    }
    return ids;
}

void TFormMain::acknowledgeSelectedRelayAlarms() {
    alarmBookOf(core_).acknowledgeAll(popupRelayAlarms());
    showOperatorAction();
}

void TFormMain::silenceSelectedRelayAlarms() {
    if (!popupRelayAlarms().empty()) {
        silenceAlarms();
    }
}

void TFormMain::shelveSelectedRelayAlarm() {
    FormAlarms->shelveOneOf(popupRelayAlarms(), this);
}

void TFormMain::showSoundTrouble(const QString& text) {
    // Short in the bar, whole in the tip: the link's status line beside it must stay readable on
    // a 1024-pixel screen.
    const QString shown = text.isEmpty() ? QString() : QStringLiteral("Без звука");
    setLabelText(LabelSound, shown);
    setToolTipText(LabelSound,
                   shown.isEmpty()
                       ? QString()
                       : QStringLiteral("Звук: %1. Сигналы показываются без звука.").arg(text));
    LabelSound->setVisible(!shown.isEmpty());
}

void TFormMain::alarmsChanged() {
    showAlarmStatus();
    // A window opened later reads the alarms as it opens.
    if (FormAlarms && FormAlarms->isVisible() && !alarmRefresh_->isActive()) {
        alarmRefresh_->start();
    }
}

void TFormMain::showAlarmStatus() {
    const AlarmBook& book = alarmBookOf(core_);
    const int waiting = book.unacknowledgedCount();
    setLabelText(LabelUnacknowledged, unacknowledgedCounterText(waiting));
    const QString style =
        waiting > 0 ? QStringLiteral(
                          "color: white; background: #c00000; font-weight: bold; padding: 0 6px;")
                    : QStringLiteral("color: black; padding: 0 6px;");
    if (LabelUnacknowledged->styleSheet() != style) {
        LabelUnacknowledged->setStyleSheet(style);
    }
    const bool flood = book.flood();
    if (LabelFlood->isVisible() != flood) {
        LabelFlood->setVisible(flood);
    }
}

void TFormMain::N4Click() {
    FormAbout->exec();
}

void TFormMain::NDelInsClick() {
    core_.main.NDelInsClick();
}

void TFormMain::NDelListClick() {
    core_.main.NDelListClick();
}

void TFormMain::NDelAllClick() {
    core_.main.NDelAllClick();
}

// ---- MainView ----

QStringList TFormMain::loadTilePictures(const QDir& folder) {
    // Bitmap3, Bitmap2, Bitmap1 and Bitmap4, in that order; index = tile state (Bitmap4 last).
    static const struct {
        const char* file;
        int index;
    } order[] = {{"Bitmap3.bmp", 2}, {"Bitmap2.bmp", 1}, {"Bitmap1.bmp", 0}, {"Bitmap4.bmp", 3}};
    QStringList errors;
    for (const auto& item : order) {
        const QString name = QString::fromLatin1(item.file);
        const QString path = folder.filePath(name);
        QPixmap pix;
        if (!QFileInfo::exists(path)) {
            errors << QStringLiteral("Не найден рисунок %1 в папке %2.")
                          .arg(name, QDir::toNativeSeparators(folder.absolutePath()));
        } else if (!pix.load(path)) {
            errors << QStringLiteral(
                          "Не удалось прочитать рисунок %1: файл повреждён или имеет "
                          "неизвестный формат.")
                          .arg(name);
        }
        if (pix.isNull()) {
            pix = fallbackPicture(item.index);
        }
        const size_t k = static_cast<size_t>(item.index);
        pictures_[k] = pix;
        const QColor background = pix.toImage().pixelColor(0, pix.height() - 1);
        maskedPictures_[k] = pix;
        maskedPictures_[k].setMask(pix.createMaskFromColor(background, Qt::MaskInColor));
    }
    return errors;
}

void TFormMain::applyMenuMask(MenuMask mask) {
    // The scheduler applies the mask of the link's state at every tick; the menu is touched only
    // when an item's state changes.
    for (int bit = 0; bit < kMenuItemCount; ++bit) {
        const auto item = static_cast<MenuItem>(bit);
        setMenuItemEnabled(item, menuEnabled(mask, item));
    }
}

void TFormMain::setMenuItemEnabled(MenuItem item, bool enabled) {
    QAction* action = menuAction(item);
    if (action->isEnabled() != enabled) {
        action->setEnabled(enabled);
    }
}

void TFormMain::buildTile(int i, QPoint offset, const QString& generator, const QString& breaker) {
    TileControls& t = tile(i);
    t.state = kTileNoAnswer;
    t.selected = false;
    t.valueColor = QColor();

    t.picture = new QLabel(tileArea);
    t.picture->setObjectName(QStringLiteral("Image%1").arg(i));
    t.picture->move(kTilePicturePos + offset);
    t.picture->installEventFilter(this);
    t.picture->setContextMenuPolicy(Qt::PreventContextMenu);

    t.generator = new QLabel(tileArea);
    t.generator->setObjectName(QStringLiteral("LabelGen%1").arg(i));
    t.breaker = new QLabel(tileArea);
    t.breaker->setObjectName(QStringLiteral("LabelSwitch%1").arg(i));
    t.value = new QLabel(QStringLiteral("Riz%1").arg(i), tileArea);
    t.value->setObjectName(QStringLiteral("Riz%1").arg(i));
    for (QLabel* label : {t.generator, t.breaker, t.value}) {
        label->setFont(tileFont());
        label->setAttribute(Qt::WA_TranslucentBackground);
        label->adjustSize();
    }
    showTileName(t.generator, generator);
    showTileName(t.breaker, breaker);
    t.generator->move(kTileGeneratorPos + offset);
    t.generator->installEventFilter(this);
    t.generator->setContextMenuPolicy(Qt::PreventContextMenu);
    t.breaker->move(kTileBreakerPos + offset);
    t.value->move(kTileValuePos + offset);

    updateTilePicture(i);
    t.picture->show();
    t.generator->show();
    t.breaker->show();
    t.value->hide();
    resizeTileArea();
}

void TFormMain::freeTile(int i) {
    TileControls& t = tile(i);
    delete t.picture;
    delete t.generator;
    delete t.breaker;
    delete t.value;
    t = TileControls{};
    resizeTileArea();
}

void TFormMain::showTileNames(int i, const QString& generator, const QString& breaker) {
    TileControls& t = tile(i);
    if (!t.picture) {
        return;
    }
    showTileName(t.generator, generator);
    showTileName(t.breaker, breaker);
}

void TFormMain::showTileState(int i, int state) {
    TileControls& t = tile(i);
    if (!t.picture) {
        return;
    }
    t.state = state;
    updateTilePicture(i);
}

void TFormMain::showTileValue(int i, const QString& text, bool visible) {
    TileControls& t = tile(i);
    if (!t.picture) {
        return;
    }
    const QString shown = text.isEmpty() && !visible ? QStringLiteral("Riz%1").arg(i) : text;
    if (t.value->text() != shown) {
        t.value->setText(shown);
        t.value->adjustSize();
    }
    // Does nothing when the label already is shown or hidden so.
    t.value->setVisible(visible);
}

void TFormMain::showTileAge(int i, bool stale, const QString& lastAnswer) {
    TileControls& t = tile(i);
    if (!t.picture) {
        return;
    }
    const QColor color = stale ? QColor(0x80, 0x80, 0x80) : QColor(Qt::black);
    if (t.valueColor != color) {
        QPalette pal = t.value->palette();
        pal.setColor(QPalette::WindowText, color);
        t.value->setPalette(pal);
        t.valueColor = color;
    }
    setToolTipText(t.value, lastAnswer);
    setToolTipText(t.picture, lastAnswer);
}

void TFormMain::drawTileSelected(int i, bool selected) {
    TileControls& t = tile(i);
    if (!t.picture) {
        return;
    }
    t.selected = selected;
    updateTilePicture(i);
}

void TFormMain::updateTilePicture(int i) {
    TileControls& t = tile(i);
    const size_t k = static_cast<size_t>(std::clamp(t.state, 0, 2));
    const QPixmap& pix = t.selected ? pictures_[k] : maskedPictures_[k];
    // A label repaints its whole picture, and the names drawn over it, whenever it is given a
    // pixmap, even the one it shows; each answer confirms the state most of the time.
    if (t.picture->pixmap().cacheKey() != pix.cacheKey()) {
        t.picture->setPixmap(pix);
    }
    t.picture->resize(pix.size());
}

void TFormMain::resizeTileArea() {
    QRect bounds;
    for (int i = 1; i <= kMaxDevices; ++i) {
        const TileControls& t = tile(i);
        if (t.picture) {
            bounds |= t.picture->geometry();
            bounds |= t.generator->geometry();
            bounds |= t.breaker->geometry();
        }
    }
    tileArea->resize(bounds.isNull() ? QSize(1, 1)
                                     : QSize(bounds.right() + 8, bounds.bottom() + 4));
}

void TFormMain::placeWindow(const QRect& frame) {
    requestedFrame_ = frame;
    QSize decoration(0, 0);
    if (isVisible()) {
        decoration = frameGeometry().size() - geometry().size();
    }
    setFixedSize(frame.size() - decoration);
    move(frame.topLeft());
}

QSize TFormMain::screenSize() const {
    const QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen();
    return s ? s->geometry().size() : QSize(1024, 768);
}

QRect TFormMain::availableArea() const {
    const QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen();
    return s ? s->availableGeometry() : QRect(0, 0, 1024, 768);
}

void TFormMain::setSerialDisplayVisible(bool visible) {
    ComLed->setVisible(visible);
    LabelNum->setVisible(visible);
    LabelPort->setVisible(visible);
}

void TFormMain::showClock(const QString& date, const QString& time, const QString& portLabel) {
    // Each second only the time changes.
    setLabelText(LabelD, date);
    setLabelText(LabelT, time);
    setLabelText(LabelNum, portLabel);
}

void TFormMain::clearAlarmLog() {
    RichEdit->clear();
    shownLog_.reset();
}

void TFormMain::setLed(Led led, bool lit) {
    switch (led) {
        case Led::TxD:
            AbLEDTxD->setLit(lit);
            break;
        case Led::RxD:
            AbLEDRxD->setLit(lit);
            break;
        case Led::Com:
            ComLed->setLit(lit);
            break;
    }
}

void TFormMain::showPortState(bool open) {
    if (portShownOpen_ == open) {
        return;
    }
    portShownOpen_ = open;
    QPalette pal = LabelPort->palette();
    pal.setColor(QPalette::Window, open ? QColor(Qt::yellow) : pal.color(QPalette::Button));
    pal.setColor(QPalette::WindowText, open ? QColor(Qt::red) : QColor(Qt::gray));
    LabelPort->setPalette(pal);
    setLabelText(LabelPort, open ? QStringLiteral("ОТКРЫТ") : QStringLiteral("ЗАКРЫТ"));
}

void TFormMain::showConnectCommand(bool linkUp) {
    const QString caption =
        linkUp ? QStringLiteral("Отключиться") : QStringLiteral("Установить связь");
    QAction* action = menuAction(MenuItem::NConnecting);
    if (action->text() != caption) {
        action->setText(caption);
    }
}

void TFormMain::setStatusText(const QString& text) {
    if (StatusBar->currentMessage() != text) {
        StatusBar->showMessage(text);
    }
    // A narrow window cuts the line short; the whole of it is under the mouse pointer.
    setToolTipText(StatusBar, text);
}

void TFormMain::showLinkAttempt(const QString& text) {
    setLabelText(LabelAttempt, text);
}

void TFormMain::showBrokerState(const QString& text, bool trouble) {
    // The link's own line keeps most of the bar; the broker's reason, which may be long, is
    // whole under the mouse pointer.
    setLabelText(LabelBroker, LabelBroker->fontMetrics().elidedText(text, Qt::ElideRight, 330));
    LabelBroker->setStyleSheet(
        trouble ? QStringLiteral("color: #b00000; font-weight: bold; padding-right: 6px;")
                : QStringLiteral("color: #006000; padding-right: 6px;"));
    LabelBroker->setVisible(!text.isEmpty());
    setToolTipText(LabelBroker, text);
}

void TFormMain::showServerState(const QString& text) {
    setLabelText(LabelServer, text);
    LabelServer->setVisible(!text.isEmpty());
}

void TFormMain::setPollTimerRunning(bool running) {
    if (running) {
        Timer->start();
    } else {
        Timer->stop();
    }
}

namespace {

bool sameLines(const AlarmLog& a, const AlarmLog& b) {
    if (a.size() != b.size() || a.selectedLine() != b.selectedLine()) {
        return false;
    }
    for (int i = 0; i < a.size(); ++i) {
        const AlarmLog::Line& x = a.lines()[i];
        const AlarmLog::Line& y = b.lines()[i];
        if (x.isNew != y.isNew || x.text != y.text) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool TFormMain::alarmLogShownAs(const AlarmLog& log) const {
    if (!shownLog_ || !sameLines(*shownLog_, log)) {
        return false;
    }
    // The operator may have moved the caret or scrolled since: the log is drawn again then, to put
    // the selection and the view back where writing it puts them.
    const QTextCursor caret = RichEdit->textCursor();
    const int line = log.selectedLine();
    if (line >= 0) {
        const QTextBlock block = RichEdit->document()->findBlockByNumber(line);
        if (caret.position() != block.position() ||
            caret.anchor() != block.position() + block.length() - 1) {
            return false;
        }
    } else if (caret.position() != 0 || caret.hasSelection()) {
        return false;
    }
    return RichEdit->horizontalScrollBar()->value() == 0 &&
           (line != 0 || RichEdit->verticalScrollBar()->value() == 0);
}

void TFormMain::showAlarmLog(const AlarmLog& log) {
    // A new line is shown once as it is added and again as it is selected; the log of 100 lines is
    // written anew only when something in it changed.
    if (alarmLogShownAs(log)) {
        return;
    }
    shownLog_ = log;
    const int scroll = RichEdit->verticalScrollBar()->value();
    RichEdit->clear();
    QTextCursor cursor(RichEdit->document());
    QTextCharFormat format;
    format.setFont(RichEdit->font());
    int selectionStart = -1;
    int selectionLength = 0;
    for (int i = 0; i < log.size(); ++i) {
        if (i > 0) {
            cursor.insertBlock();
        }
        const AlarmLog::Line& line = log.lines()[i];
        format.setForeground(line.isNew ? QColor(Qt::red) : QColor(0x00, 0x80, 0x00));
        if (i == log.selectedLine()) {
            selectionStart = cursor.position();
            selectionLength = static_cast<int>(line.text.size());
        }
        cursor.insertText(line.text, format);
    }
    QTextCursor selection(RichEdit->document());
    if (selectionStart >= 0) {
        // Anchored at the end with the caret at the start, so that the log shows the beginning
        // of the selected line (its date) rather than scrolling to its end.
        selection.setPosition(selectionStart + selectionLength);
        selection.setPosition(selectionStart, QTextCursor::KeepAnchor);
    }
    RichEdit->setTextCursor(selection);
    RichEdit->verticalScrollBar()->setValue(log.selectedLine() == 0 ? 0 : scroll);
}

void TFormMain::setAlarmCommandsEnabled(bool enabled) {
    NDelIns->setEnabled(enabled);
    NDelList->setEnabled(enabled);
    NDelAll->setEnabled(enabled);
}

bool TFormMain::isMainWindowActive() const {
    return QApplication::activeWindow() == this;
}

// ---- events ----

int TFormMain::tileOfControl(const QObject* control) const {
    for (int i = 1; i <= core_.station.devices.DeviceCount; ++i) {
        if (tile(i).picture == control || tile(i).generator == control) {
            return i;
        }
    }
    return 0;
}

bool TFormMain::eventFilter(QObject* watched, QEvent* event) {
    if (watched == LabelUnacknowledged) {
        // Told from the bar's making on, before the log below exists.
        if (event->type() == QEvent::MouseButtonRelease &&
            static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
            openAlarms();
            return true;
        }
        return QMainWindow::eventFilter(watched, event);
    }
    if (watched == RichEdit->viewport() && (event->type() == QEvent::MouseButtonPress ||
                                            event->type() == QEvent::MouseButtonDblClick)) {
        // A double click is two clicks on one line, not a word to select.
        const QPoint pos = static_cast<QMouseEvent*>(event)->position().toPoint();
        core_.main.RichEditMouseDown(RichEdit->cursorForPosition(pos).blockNumber());
        return true;
    }
    if (watched == RichEdit->viewport() && event->type() == QEvent::ToolTip) {
        // The log is narrower than its lines: the whole line under the pointer.
        const auto* help = static_cast<QHelpEvent*>(event);
        const QTextCursor at = RichEdit->cursorForPosition(help->pos());
        const QRect line = RichEdit->cursorRect(at);
        const QString text = at.block().text();
        if (text.isEmpty() || help->pos().y() > line.bottom() + 2) {
            QToolTip::hideText();
        } else {
            QToolTip::showText(help->globalPos(), text, RichEdit->viewport());
        }
        return true;
    }
    if (watched == RichEdit && event->type() == QEvent::KeyRelease) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        core_.main.RichEditKeyDown(key, RichEdit->textCursor().blockNumber());
        return QMainWindow::eventFilter(watched, event);
    }
    if (watched == PopupMenu && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const QKeySequence pressed(key->keyCombination());
        for (QAction* a : PopupMenu->actions()) {
            if (a->isEnabled() && a->shortcut() == pressed) {
                PopupMenu->hide();
                a->trigger();
                return true;
            }
        }
        return QMainWindow::eventFilter(watched, event);
    }
    if (event->type() != QEvent::MouseButtonPress && event->type() != QEvent::MouseButtonRelease) {
        return QMainWindow::eventFilter(watched, event);
    }
    const int i = tileOfControl(watched);
    if (i == 0) {
        return QMainWindow::eventFilter(watched, event);
    }
    auto* mouse = static_cast<QMouseEvent*>(event);
    if (event->type() == QEvent::MouseButtonRelease && mouse->button() == Qt::LeftButton &&
        static_cast<QWidget*>(watched)->rect().contains(mouse->position().toPoint())) {
        core_.main.NEWbmpClick(i);
        return true;
    }
    if (event->type() == QEvent::MouseButtonPress && mouse->button() == Qt::RightButton &&
        watched == tile(i).generator && core_.main.opensTilePopup(i)) {
        // It opens the parameter window, which only the main menu's item tells is possible now.
        NPOpenWindow->setEnabled(menuAction(MenuItem::NOPenWindow)->isEnabled());
        popupTile_ = i;
        bool shelvable = false;
        const std::vector<QString> ids = popupRelayAlarms();
        for (const QString& id : ids) {
            const std::optional<Alarm> a = alarmBookOf(core_).find(id);
            shelvable = shelvable || (a && alarmShelvable(a->kind));
        }
        NPAcknowledge->setEnabled(!ids.empty());
        NPSilence->setEnabled(!ids.empty());
        NPShelve->setEnabled(shelvable);
        PopupMenu->popup(tile(i).generator->mapToGlobal(QPoint(0, 0)));
        return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

void TFormMain::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    // The window manager's frame is known only once the window is on the screen; the size the
    // station sets is that of the whole window, frame included.
    QTimer::singleShot(0, this, [this] {
        if (requestedFrame_.isValid()) {
            placeWindow(requestedFrame_);
        }
    });
}

void TFormMain::closeEvent(QCloseEvent* event) {
    for (int i = 1; i <= kMaxDevices; ++i) {
        if (tile(i).picture) {
            freeTile(i);
        }
    }
    // It reads the journal, which closes with the core below.
    FormJournal->hide();
    FormTrend->hide();
    FormAlarms->hide();
    core_.tcpLink().close();
    Timer->stop();
    core_.serialLink().close();
    core_.main.saveUnsavedAtExit();
    core_.stop();
    event->accept();
}

}  // namespace terval
