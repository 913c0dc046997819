#include "windows/param/form_param.h"

#include <QApplication>
#include <QFocusEvent>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QScreen>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "app/station_core.h"
#include "modbus/register_map.h"
#include "param/param_controls.h"
#include "param/setpoint_limits.h"
#include "station/station_texts.h"
#include "widgets/widget_dialog.h"
#include "widgets/widget_led.h"
#include "widgets/widget_page_control.h"

namespace terval {

using namespace param_controls;

namespace {

const QColor kNavy(0x00, 0x00, 0x80);
const QColor kEditGreen(0x00, 0x80, 0x00);
const QColor kDarkRed(0xB0, 0x00, 0x00);
const QColor kLampOn(0xFF, 0x30, 0x30);

constexpr int kPanelWidth = 96;
constexpr int kPanelHeight = 25;
constexpr int kPickerHeight = 28;

QLabel* caption(QWidget* parent, const QString& text, const QString& name = {}) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    if (!name.isEmpty()) {
        label->setObjectName(name);
    }
    return label;
}

// A sunken display panel with its value centred.
QLabel* valuePanel(QWidget* parent, const QString& name, const QColor& textColor = kNavy,
                   int width = kPanelWidth) {
    auto* panel = new QLabel(parent);
    panel->setObjectName(name);
    panel->setTextFormat(Qt::PlainText);
    panel->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    panel->setAlignment(Qt::AlignCenter);
    panel->setFont(namedFont(16, true));
    panel->setFixedSize(width, kPanelHeight);
    panel->setAutoFillBackground(true);
    QPalette pal = panel->palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::Base));
    pal.setColor(QPalette::WindowText, textColor);
    panel->setPalette(pal);
    return panel;
}

QGroupBox* group(QWidget* parent, const QString& title, const QString& name) {
    auto* box = new QGroupBox(title, parent);
    box->setObjectName(name);
    return box;
}

// Caption on the left, panel on the right, one row per value.
void addRow(QGridLayout* grid, int row, QLabel* label, QWidget* panel) {
    grid->addWidget(label, row, 0, Qt::AlignVCenter | Qt::AlignLeft);
    grid->addWidget(panel, row, 1, Qt::AlignVCenter | Qt::AlignRight);
}

QGridLayout* rowsGrid(QWidget* parent) {
    auto* grid = new QGridLayout(parent);
    grid->setHorizontalSpacing(14);
    grid->setVerticalSpacing(5);
    grid->setContentsMargins(10, 8, 10, 8);
    grid->setColumnStretch(0, 1);
    return grid;
}

// One row of a group: the panel named after the value on the right, its caption (param_controls.h)
// on the left.
struct PanelRow {
    QString panel;
    QColor color = kNavy;
    int width = kPanelWidth;
};

// Most of the window is groups of such rows; a group is described by its rows alone.
QGroupBox* panelGroup(QWidget* parent, const QString& title, const QString& name,
                      std::initializer_list<PanelRow> rows) {
    QGroupBox* box = group(parent, title, name);
    QGridLayout* grid = rowsGrid(box);
    int r = 0;
    for (const PanelRow& row : rows) {
        addRow(grid, r++, caption(box, panelCaption(row.panel)),
               valuePanel(box, row.panel, row.color, row.width));
    }
    grid->setRowStretch(r, 1);
    return box;
}

QLabel* findPanel(QWidget* group, const QString& name) {
    return group->findChild<QLabel*>(name);
}

LedIndicator* lamp(QWidget* parent, const QString& name, const QString& text) {
    auto* led = new LedIndicator(text, parent, kLampOn, QColor(0xC0, 0xC0, 0xC0), 15);
    led->setObjectName(name);
    led->setMinimumHeight(24);
    led->setMinimumWidth(QFontMetrics(namedFont(15)).horizontalAdvance(text) + 30);
    return led;
}

QWidget* newPage(const QString& name) {
    auto* page = new QWidget;
    page->setObjectName(name);
    // The page takes the focus back from a panel when an edit ends.
    page->setFocusPolicy(Qt::ClickFocus);
    return page;
}

void keepPlaceWhenHidden(QWidget* w) {
    QSizePolicy policy = w->sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    w->setSizePolicy(policy);
}

QPushButton* button(QWidget* parent, const QString& name, const QString& text) {
    QPushButton* b = dialogButton(parent, name.toLatin1().constData(), text);
    b->setFixedHeight(30);
    return b;
}

// The character a key stands for, as the setpoint editor takes it.
int characterOf(const QKeyEvent* key) {
    switch (key->key()) {
        case Qt::Key_Escape:
            return SetpointEditor::kEscape;
        case Qt::Key_Backspace:
            return SetpointEditor::kBackspace;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            return SetpointEditor::kEnter;
        default:
            break;
    }
    const QString text = key->text();
    return text.isEmpty() ? 0 : text.front().unicode();
}

}  // namespace

TFormParam::TFormParam(StationCore& core, QWidget* parent)
    : QDialog(parent), core_(core), model_(core.paramWindow) {
    model_.setView(this);
    QVBoxLayout* column = setUpFixedDialog(this, "FormParam", QStringLiteral("Параметры защиты"));
    setFont(namedFont(15));
    column->setContentsMargins(10, 8, 10, 10);
    column->setSpacing(6);
    buildHeader(column);

    PageControl1 = new PageControl(this);
    PageControl1->setObjectName(QStringLiteral("PageControl1"));
    TabSheet1 = buildCurrentPage();
    TabSheet2 = buildSetpointsPage();
    TabSheet3 = buildSettingsPage();
    TabSheet6 = buildTripProtocolsPage();
    TabSheet4 = buildInsulationProtocolsPage();
    PageControl1->addPage(TabSheet1, QStringLiteral(" Текущие параметры "));
    PageControl1->addPage(TabSheet2, QStringLiteral(" Уставки "));
    PageControl1->addPage(TabSheet3, QStringLiteral(" Настройки "));
    PageControl1->addPage(TabSheet6, QStringLiteral(" Протоколы срабатывания защиты "));
    PageControl1->addPage(TabSheet4, QStringLiteral(" Протоколы изменения сопротивления "));
    column->addWidget(PageControl1);
    connect(PageControl1, &PageControl::activePageChanged, this, &TFormParam::PageControl1Change);

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(500);
    connect(Timer1, &QTimer::timeout, this, &TFormParam::Timer1Timer);

    collectControls();
    // Key preview: the window sees every key before the control that has the focus.
    for (QWidget* w : findChildren<QWidget*>()) {
        w->installEventFilter(this);
    }
}

TFormParam::~TFormParam() {
    core_.dispatcher.setParamWindow(nullptr);
    model_.setView(nullptr);
}

void TFormParam::collectControls() {
    for (QWidget* w : findChildren<QWidget*>()) {
        if (!w->objectName().isEmpty() && !w->objectName().startsWith(QLatin1String("qt_"))) {
            controls_.insert(w->objectName(), w);
        }
    }
}

void TFormParam::buildHeader(QVBoxLayout* column) {
    auto* header = new QWidget(this);
    header->setObjectName(QStringLiteral("PanelHeader"));
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(4, 0, 4, 0);
    row->setSpacing(24);

    LabelName = caption(header, QStringLiteral("Генератор"), kGeneratorName);
    LabelName->setFont(namedFont(26, true));
    setTextColor(LabelName, kNavy);
    LabelName->setMinimumWidth(200);
    row->addWidget(LabelName, 0, Qt::AlignVCenter);
    BtnTrend = button(header, QStringLiteral("BtnTrend"), QStringLiteral("Тренд…"));
    BtnTrend->setToolTip(QStringLiteral("Тренд сопротивления изоляции этой защиты"));
    BtnTrend->setMinimumWidth(100);
    connect(BtnTrend, &QPushButton::clicked, this, &TFormParam::showTrend);
    row->addWidget(BtnTrend, 0, Qt::AlignVCenter);
    row->addStretch(1);

    auto* identity = new QGridLayout;
    identity->setHorizontalSpacing(10);
    identity->setVerticalSpacing(3);
    identity->setColumnMinimumWidth(2, 12);
    using namespace registers::status;
    const struct {
        int word;
        const char* caption;
        int row;
        int col;
    } pairs[] = {{kSerialNumber, "Порядковый номер блока:", 0, 0},
                 {kManufactureDate, "Дата изготовления:", 1, 0},
                 {kProgramVersion, "Версия программы:", 0, 3},
                 {kProgramDate, "Дата версии программы:", 1, 3}};
    for (const auto& p : pairs) {
        QLabel* label = caption(header, QString::fromUtf8(p.caption), identityLabel(p.word));
        QLabel* panel = valuePanel(header, identityPanel(p.word), kNavy, 104);
        panel->setFont(namedFont(15, true));
        panel->setFixedHeight(22);
        // Hidden until the relay has told who it is; their place is kept so nothing moves then.
        for (QWidget* w : {static_cast<QWidget*>(label), static_cast<QWidget*>(panel)}) {
            keepPlaceWhenHidden(w);
            w->hide();
        }
        identity->addWidget(label, p.row, p.col, Qt::AlignRight | Qt::AlignVCenter);
        identity->addWidget(panel, p.row, p.col + 1);
    }
    row->addLayout(identity);
    column->addWidget(header);
}

QWidget* TFormParam::buildCurrentPage() {
    QWidget* page = newPage(QStringLiteral("TabSheet1"));
    auto* column = new QVBoxLayout(page);
    column->setContentsMargins(10, 10, 10, 10);
    column->setSpacing(10);

    auto* top = new QHBoxLayout;
    top->setSpacing(14);
    QGroupBox* status =
        group(page, QStringLiteral(" Статусный регистр "), QStringLiteral("GroupBoxStatus"));
    auto* lamps = new QVBoxLayout(status);
    lamps->setContentsMargins(14, 10, 14, 10);
    lamps->setSpacing(6);
    for (int bit = 0; bit < registers::kStatusBits; ++bit) {
        lamps->addWidget(lamp(status, statusLamp(bit), kStatusBitCaptions[bit]));
    }
    lamps->addStretch(1);
    top->addWidget(status);

    using namespace registers::status;
    top->addWidget(panelGroup(page, QString(), QStringLiteral("GroupBoxValues"),
                              {{currentPanel(kInsulationResistance)},
                               {currentPanel(kRemoteness)},
                               {currentPanel(kAlpha1)},
                               {currentPanel(kAlpha2)},
                               {currentPanel(kExcitationVoltage)},
                               {currentPanel(kInjectedVoltage)},
                               {currentPanel(kRunTime)}}),
                   1);
    column->addLayout(top);

    QGroupBox* clock = group(page, QStringLiteral(" Дата и время "), QStringLiteral("GroupBoxDT"));
    auto* clockColumn = new QVBoxLayout(clock);
    clockColumn->setContentsMargins(10, 8, 10, 8);
    clockColumn->setSpacing(4);
    auto* clocks = new QHBoxLayout;
    clocks->setSpacing(14);
    clockColumn->addLayout(clocks);

    QGroupBox* relay = group(clock, QStringLiteral("В защите"), QStringLiteral("GroupBoxDefence"));
    auto* relayGrid = new QGridLayout(relay);
    relayGrid->setContentsMargins(10, 8, 10, 10);
    relayGrid->setHorizontalSpacing(10);
    relayGrid->setVerticalSpacing(8);
    LabelDTDefence = caption(relay, QString(), kRelayClock);
    LabelDTDefence->setFont(namedFont(18, true));
    setTextColor(LabelDTDefence, kNavy);
    LabelDTDefence->setMinimumHeight(26);
    LabelDTDefence->setAlignment(Qt::AlignCenter);
    relayGrid->addWidget(LabelDTDefence, 0, 0, 1, 2);
    DatePicker = new QDateEdit(relay);
    DatePicker->setObjectName(kDatePicker);
    DatePicker->setCalendarPopup(true);
    DatePicker->setDisplayFormat(QStringLiteral("dd.MM.yyyy"));
    DatePicker->setMinimumDate(QDate(2000, 1, 1));
    DatePicker->setMaximumDate(QDate(2099, 12, 31));
    DatePicker->setFixedHeight(kPickerHeight);
    TimePicker = new QTimeEdit(relay);
    TimePicker->setObjectName(kTimePicker);
    TimePicker->setDisplayFormat(QStringLiteral("HH:mm:ss"));
    TimePicker->setFixedHeight(kPickerHeight);
    relayGrid->addWidget(DatePicker, 1, 0);
    relayGrid->addWidget(TimePicker, 1, 1);
    BtnSaveDT =
        button(relay, kWriteChangedClock, QStringLiteral("Записать измененные дату и время"));
    relayGrid->addWidget(BtnSaveDT, 2, 0, 1, 2);
    relayGrid->setRowStretch(3, 1);
    clocks->addWidget(relay, 1);

    QGroupBox* computer =
        group(clock, QStringLiteral("В компьютере"), QStringLiteral("GroupBoxSys"));
    auto* computerGrid = new QGridLayout(computer);
    computerGrid->setContentsMargins(10, 8, 10, 10);
    computerGrid->setVerticalSpacing(8);
    LabDTSys = caption(computer, QString(), kComputerClock);
    LabDTSys->setFont(namedFont(18, true));
    setTextColor(LabDTSys, kNavy);
    LabDTSys->setMinimumHeight(26);
    LabDTSys->setAlignment(Qt::AlignCenter);
    computerGrid->addWidget(LabDTSys, 0, 0);
    // The same rows as beside it, so that both clock lines and both buttons stand level.
    auto* pickerRow = new QWidget(computer);
    pickerRow->setFixedHeight(kPickerHeight);
    computerGrid->addWidget(pickerRow, 1, 0);
    BtnSaveDTSys =
        button(computer, kWriteComputerClock, QStringLiteral("Записать системные дату и время"));
    computerGrid->addWidget(BtnSaveDTSys, 2, 0);
    computerGrid->setRowStretch(3, 1);
    clocks->addWidget(computer, 1);
    auto* offset = caption(clock, QString(), kClockOffset);
    offset->setAlignment(Qt::AlignCenter);
    setTextColor(offset, kNavy);
    clockColumn->addWidget(offset);
    column->addWidget(clock);
    column->addStretch(1);

    connect(DatePicker, &QDateEdit::dateChanged, this, &TFormParam::DatePickerChange);
    connect(TimePicker, &QTimeEdit::timeChanged, this, &TFormParam::DatePickerChange);
    connect(BtnSaveDT, &QPushButton::clicked, this, &TFormParam::BtnSaveDTClick);
    connect(BtnSaveDTSys, &QPushButton::clicked, this, &TFormParam::BtnSaveDTSysClick);
    return page;
}

QWidget* TFormParam::buildSetpointsPage() {
    QWidget* page = newPage(QStringLiteral("TabSheet2"));
    auto* row = new QHBoxLayout(page);
    row->setContentsMargins(10, 10, 10, 10);
    row->setSpacing(14);

    QGroupBox* setpoints = panelGroup(page, QString(), kSetpointGroup,
                                      {{setpointPanel(8)},
                                       {setpointPanel(9)},
                                       {setpointPanel(10)},
                                       {setpointPanel(11)},
                                       {setpointPanel(12)},
                                       {setpointPanel(13)},
                                       {setpointPanel(14)},
                                       {setpointPanel(15)},
                                       {setpointPanel(16)},
                                       {setpointPanel(17)},
                                       {setpointPanel(18)},
                                       {setpointPanel(19)}});
    // Hidden until the setpoint block has come; its place is kept so the page does not move then.
    keepPlaceWhenHidden(setpoints);
    setpoints->hide();
    row->addWidget(setpoints, 1);

    auto* right = new QVBoxLayout;
    right->setSpacing(14);
    right->addWidget(
        panelGroup(page, QStringLiteral(" Контроль обрыва цепи "), QStringLiteral("GroupBoxBreak"),
                   {{setpointPanel(22)},
                    {setpointPanel(23)},
                    {setpointPanel(47)},
                    {currentPanel(registers::status::kControlResistance), Qt::black}}));
    right->addWidget(panelGroup(page, QString(), QStringLiteral("GroupBoxPassword"),
                                {{setpointPanel(kPasswordSetpoint), kDarkRed}}));
    right->addStretch(1);
    row->addLayout(right);
    return page;
}

QWidget* TFormParam::buildSettingsPage() {
    QWidget* page = newPage(QStringLiteral("TabSheet3"));
    auto* grid = new QGridLayout(page);
    grid->setContentsMargins(10, 10, 10, 10);
    grid->setSpacing(14);

    using namespace registers::status;
    // The present offsets come from the measurements and are drawn black until edited.
    const auto offset = [](int word) { return PanelRow{currentPanel(word), Qt::black}; };
    grid->addWidget(
        panelGroup(
            page, QStringLiteral(" Настройки канала сопротивления изоляции"),
            QStringLiteral("GroupBoxRiz"),
            {{setpointPanel(44)}, {setpointPanel(45)}, {setpointPanel(46)}, offset(kFirstOffset)}),
        0, 0);
    QGroupBox* general = panelGroup(
        page, QStringLiteral("Общие настройки"), QStringLiteral("GroupBoxGeneral"),
        {{setpointPanel(0)}, {setpointPanel(1)}, {setpointPanel(2)}, {setpointPanel(3)}});
    // The line speed is set on the relay itself; its row stays hidden.
    for (QLabel* label : general->findChildren<QLabel*>()) {
        if (label->objectName() == setpointPanel(3) ||
            label->text() == panelCaption(setpointPanel(3))) {
            label->hide();
        }
    }
    grid->addWidget(general, 0, 1);
    grid->addWidget(
        panelGroup(page, QStringLiteral(" Настройки канала напряжения возбуждения "),
                   QStringLiteral("GroupBoxExc"),
                   {{setpointPanel(40)}, {setpointPanel(41)}, offset(kFirstOffset + 1)}),
        1, 0);
    grid->addWidget(
        panelGroup(page, QStringLiteral(" Настройки канала наложенного напряжения "),
                   QStringLiteral("GroupBoxInj"),
                   {{setpointPanel(42)}, {setpointPanel(43)}, offset(kFirstOffset + 2)}),
        1, 1);
    grid->setRowStretch(2, 1);
    return page;
}

TripProtocolGroups buildTripProtocolGroups(QWidget* page) {
    TripProtocolGroups g;
    g.stamp =
        panelGroup(page, QString(), QStringLiteral("GroupBoxProt"),
                   {{kTripNumber, kNavy, 110}, {kTripDate, kNavy, 110}, {kTripTime, kNavy, 110}});

    g.status =
        group(page, QStringLiteral("Статусный регистр"), QStringLiteral("GroupBoxProtStatus"));
    auto* lamps = new QVBoxLayout(g.status);
    lamps->setContentsMargins(14, 8, 14, 8);
    lamps->setSpacing(4);
    for (int bit = 0; bit < registers::kStatusBits; ++bit) {
        lamps->addWidget(lamp(g.status, tripStatusLamp(bit), kStatusBitCaptions[bit]));
    }

    // The sign as lamps; the sign is a code, shown as text beside "Признак:", so this stays hidden.
    g.signLamps = group(page, QStringLiteral(" Признак "), QStringLiteral("GroupBoxProtSign"));
    auto* signLamps = new QVBoxLayout(g.signLamps);
    for (int bit = 0; bit < registers::kStatusBits; ++bit) {
        signLamps->addWidget(lamp(g.signLamps, tripSignLamp(bit), kStatusBitCaptions[bit]));
    }
    g.signLamps->hide();

    g.signRow = new QHBoxLayout;
    g.signRow->setSpacing(10);
    g.signRow->addWidget(caption(page, QStringLiteral("Признак:")));
    QLabel* sign = caption(page, QString(), kTripSign);
    sign->setFont(namedFont(18, true));
    setTextColor(sign, kDarkRed);
    sign->setMinimumHeight(28);
    g.signRow->addWidget(sign, 1);

    using namespace registers::trip;
    g.values = panelGroup(page, QString(), QStringLiteral("GroupBoxProtValues"),
                          {{tripValuePanel(kInsulationResistance)},
                           {tripValuePanel(kRemoteness)},
                           {tripValuePanel(kAlpha1)},
                           {tripValuePanel(kAlpha2)},
                           {tripValuePanel(kExcitationVoltage)},
                           {tripValuePanel(kInjectedVoltage)}});
    return g;
}

QWidget* TFormParam::buildTripProtocolsPage() {
    QWidget* page = newPage(QStringLiteral("TabSheet6"));
    auto* row = new QHBoxLayout(page);
    row->setContentsMargins(10, 10, 10, 10);
    row->setSpacing(14);

    auto* left = new QVBoxLayout;
    left->setSpacing(10);
    auto* numberRow = new QHBoxLayout;
    numberRow->setSpacing(10);
    numberRow->addWidget(caption(page, QStringLiteral("Номер протокола")));
    SpinEditNumbProt = new QSpinBox(page);
    SpinEditNumbProt->setObjectName(kTripNumberBox);
    SpinEditNumbProt->setRange(1, registers::kProtocolCount);
    SpinEditNumbProt->setValue(1);
    SpinEditNumbProt->setFont(namedFont(16, true));
    SpinEditNumbProt->setMinimumSize(70, 28);
    SpinEditNumbProt->setContextMenuPolicy(Qt::NoContextMenu);
    numberRow->addWidget(SpinEditNumbProt);
    numberRow->addStretch(1);
    left->addLayout(numberRow);

    const TripProtocolGroups trip = buildTripProtocolGroups(page);
    // No protocol has that number: the report button stays off until the first one has come.
    findPanel(trip.stamp, kTripNumber)->setText(QStringLiteral("256"));
    left->addWidget(trip.stamp);
    left->addWidget(trip.status);
    left->addWidget(trip.signLamps);
    left->addStretch(1);
    row->addLayout(left);

    auto* right = new QVBoxLayout;
    right->setSpacing(10);
    right->addLayout(trip.signRow);
    right->addWidget(trip.values);
    right->addStretch(1);
    BtnCreateFileProt = button(page, kReportButton, QStringLiteral("Сформировать файл отчета"));
    BtnCreateFileProt->setMinimumWidth(240);
    right->addWidget(BtnCreateFileProt, 0, Qt::AlignRight);
    row->addLayout(right, 1);

    connect(SpinEditNumbProt, &QSpinBox::valueChanged, this, &TFormParam::SpinEditNumbProtChange);
    connect(BtnCreateFileProt, &QPushButton::clicked, this, &TFormParam::BtnCreateFileProtClick);
    return page;
}

QWidget* TFormParam::buildInsulationProtocolsPage() {
    QWidget* page = newPage(QStringLiteral("TabSheet4"));
    auto* column = new QVBoxLayout(page);
    column->setContentsMargins(10, 10, 10, 10);
    column->setSpacing(10);

    auto* numberRow = new QHBoxLayout;
    numberRow->setSpacing(10);
    numberRow->addWidget(caption(page, QStringLiteral("Номер протокола")));
    SpinEditNumbPrRiz = new QSpinBox(page);
    SpinEditNumbPrRiz->setObjectName(kInsulationNumberBox);
    SpinEditNumbPrRiz->setRange(1, registers::kProtocolCount);
    SpinEditNumbPrRiz->setValue(1);
    SpinEditNumbPrRiz->setFont(namedFont(16, true));
    SpinEditNumbPrRiz->setMinimumSize(70, 28);
    // A number typed past the range goes back to the last one read when the box is left.
    SpinEditNumbPrRiz->setCorrectionMode(QAbstractSpinBox::CorrectToPreviousValue);
    numberRow->addWidget(SpinEditNumbPrRiz);
    numberRow->addStretch(1);
    column->addLayout(numberRow);

    auto* row = new QHBoxLayout;
    row->setSpacing(14);
    row->addWidget(panelGroup(page, QString(), QStringLiteral("GroupBoxPrRiz"),
                              {{kInsulationNumber, kNavy, 110},
                               {kInsulationDate, kNavy, 110},
                               {kInsulationTime, kNavy, 110}}),
                   1);
    row->addWidget(panelGroup(page, QString(), QStringLiteral("GroupBoxPrRizValues"),
                              {{kInsulationInitial}, {kInsulationFinal}}),
                   1);
    column->addLayout(row);

    QGroupBox* kind = group(page, QString(), QStringLiteral("GroupBoxTypeChange"));
    auto* kindRow = new QHBoxLayout(kind);
    kindRow->setContentsMargins(10, 12, 10, 12);
    LabTypeChange = caption(kind, QString(), kInsulationKind);
    LabTypeChange->setFont(namedFont(24, true));
    LabTypeChange->setAlignment(Qt::AlignCenter);
    LabTypeChange->setMinimumHeight(36);
    LabTypeChange->hide();
    kindRow->addWidget(LabTypeChange);
    // No frame stands empty while there is no kind to show; its place is kept so that the page
    // does not jump from one protocol to the next.
    keepPlaceWhenHidden(kind);
    kind->hide();
    column->addWidget(kind);
    column->addStretch(1);

    connect(SpinEditNumbPrRiz, &QSpinBox::valueChanged, this, &TFormParam::SpinEditNumbPrRizChange);
    return page;
}

// ---- opening and closing ----

void TFormParam::prepareOpen() {
    if (isVisible()) {
        hide();
    }
    model_.prepareOpen();
    core_.dispatcher.setParamWindow(&model_);
}

void TFormParam::afterClose() {
    model_.afterClose();
}

int TFormParam::openForSelectedRelay() {
    prepareOpen();
    const int result = exec();
    afterClose();
    return result;
}

void TFormParam::showEvent(QShowEvent* event) {
    // Only the window's own opening, not the window system showing it again.
    if (!event->spontaneous()) {
        FormShow();
    }
    QDialog::showEvent(event);
    // Centred on the desktop, whichever window opened it.
    centreOnScreen(this);
}

void TFormParam::FormShow() {
    model_.FormShow();
}

void TFormParam::FormClose() {
    model_.FormClose();
}

void TFormParam::done(int result) {
    FormClose();
    QDialog::done(result);
}

// ---- operator's actions ----

void TFormParam::PageControl1Change(int page) {
    model_.PageControl1Change(page);
}

void TFormParam::SpinEditNumbProtChange(int number) {
    model_.SpinEditNumbProtChange(number);
}

void TFormParam::SpinEditNumbPrRizChange(int number) {
    model_.SpinEditNumbPrRizChange(number);
}

void TFormParam::BtnCreateFileProtClick() {
    model_.BtnCreateFileProtClick();
}

void TFormParam::Timer1Timer() {
    model_.Timer1Timer();
}

void TFormParam::PanUstClick(QWidget* panel) {
    if (panel) {
        model_.PanUstClick(panel->objectName());
    }
}

void TFormParam::PanUstExit(QWidget* panel) {
    if (panel) {
        model_.PanUstExit(panel->objectName());
    }
}

void TFormParam::PanelUstKeyPressFloat(QWidget* panel, int key) {
    if (panel) {
        model_.PanelUstKeyPressFloat(panel->objectName(), key);
    }
}

void TFormParam::DatePickerChange() {
    model_.DatePickerChange();
}

void TFormParam::BtnSaveDTClick() {
    model_.BtnSaveDTClick(DatePicker->date(), TimePicker->time());
}

void TFormParam::BtnSaveDTSysClick() {
    model_.BtnSaveDTSysClick();
}

void TFormParam::showTrend() {
    if (core_.station.devices.hasSelection()) {
        emit trendRequested(core_.station.devices.SelectedDevice);
    }
}

// ---- keys and mouse ----

bool TFormParam::handleKey(QObject* watched, QKeyEvent* key) {
    if (key->key() == Qt::Key_Escape && model_.ButtonSysKeyDown(SetpointEditor::kEscape)) {
        return true;
    }
    if (model_.editor().SetpointEditActive() && key->key() != Qt::Key_Tab &&
        key->key() != Qt::Key_Backtab) {
        model_.FormKeyPress(characterOf(key));
        return true;
    }
    // The protocol number is changed with the spin buttons only.
    auto* w = qobject_cast<QWidget*>(watched);
    if (w && (w == SpinEditNumbProt || SpinEditNumbProt->isAncestorOf(w)) &&
        key->key() != Qt::Key_Tab && key->key() != Qt::Key_Backtab) {
        return true;
    }
    return false;
}

void TFormParam::keyPressEvent(QKeyEvent* event) {
    if (handleKey(this, event)) {
        return;
    }
    // Enter must not close the window as a dialog's default button would.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        return;
    }
    QDialog::keyPressEvent(event);
}

bool TFormParam::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
        case QEvent::KeyPress:
            if (handleKey(watched, static_cast<QKeyEvent*>(event))) {
                return true;
            }
            break;
        case QEvent::ShortcutOverride:
            // Keys typed into a setpoint belong to it, not to a shortcut of the window.
            if (model_.editor().SetpointEditActive()) {
                event->accept();
                return true;
            }
            break;
        case QEvent::MouseButtonPress: {
            auto* panel = qobject_cast<QLabel*>(watched);
            if (panel && static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton &&
                isEditablePanel(panel->objectName())) {
                PanUstClick(panel);
                return true;
            }
            break;
        }
        case QEvent::FocusOut: {
            auto* panel = qobject_cast<QLabel*>(watched);
            const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
            // Another window coming up does not end the edit; the focus comes back with it.
            if (panel && reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason &&
                isEditablePanel(panel->objectName())) {
                PanUstExit(panel);
            }
            break;
        }
        default:
            break;
    }
    return QDialog::eventFilter(watched, event);
}

// ---- ParamView ----

void TFormParam::setText(const QString& name, const QString& text) {
    QWidget* w = control(name);
    if (auto* label = qobject_cast<QLabel*>(w)) {
        label->setText(text);
    } else if (auto* b = qobject_cast<QAbstractButton*>(w)) {
        b->setText(text);
    }
}

QString TFormParam::text(const QString& name) const {
    if (auto* label = qobject_cast<QLabel*>(control(name))) {
        return label->text();
    }
    return {};
}

void TFormParam::setControlVisible(const QString& name, bool visible) {
    if (QWidget* w = control(name)) {
        w->setVisible(visible);
    }
}

void TFormParam::setControlEnabled(const QString& name, bool enabled) {
    if (QWidget* w = control(name)) {
        w->setEnabled(enabled);
    }
}

void TFormParam::setLed(const QString& name, bool lit) {
    if (auto* led = qobject_cast<LedIndicator*>(control(name))) {
        led->setLit(lit);
    }
}

void TFormParam::setPanelLook(const QString& name, PanelLook look) {
    QWidget* w = control(name);
    if (!w) {
        return;
    }
    QPalette pal = w->palette();
    const QColor window = QApplication::palette().color(QPalette::Base);
    if (look == PanelLook::Editing) {
        pal.setColor(QPalette::Window, kEditGreen);
        pal.setColor(QPalette::WindowText, window);
    } else {
        pal.setColor(QPalette::Window, window);
        pal.setColor(QPalette::WindowText, kNavy);
    }
    w->setPalette(pal);
}

void TFormParam::showChangeKind(InsulationChange kind) {
    QWidget* frame = LabTypeChange->parentWidget();
    if (kind == InsulationChange::None) {
        LabTypeChange->hide();
        frame->hide();
        return;
    }
    LabTypeChange->setText(insulationChangeText(kind));
    setTextColor(LabTypeChange,
                 kind == InsulationChange::Decrease ? QColor(Qt::red) : QColor(0x00, 0x90, 0x00));
    LabTypeChange->show();
    frame->show();
}

void TFormParam::setTabVisible(int page, bool visible) {
    PageControl1->setTabVisible(page, visible);
}

void TFormParam::setActivePage(int page) {
    PageControl1->setActivePage(page);
}

void TFormParam::loadPickers(const QDateTime& value) {
    const QSignalBlocker blockDate(DatePicker);
    const QSignalBlocker blockTime(TimePicker);
    DatePicker->setDate(value.date());
    TimePicker->setTime(value.time());
}

void TFormParam::focusPanel(const QString& name) {
    if (QWidget* w = control(name)) {
        w->setFocus(Qt::MouseFocusReason);
    }
}

void TFormParam::focusPage(int page) {
    if (QWidget* w = PageControl1->page(page)) {
        w->setFocus(Qt::OtherFocusReason);
    } else {
        PageControl1->setFocus(Qt::OtherFocusReason);
    }
}

void TFormParam::setLinkLossTimerRunning(bool running) {
    if (running) {
        Timer1->start();
    } else {
        Timer1->stop();
    }
}

void TFormParam::closeWindow() {
    reject();
}

}  // namespace terval
