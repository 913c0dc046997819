#include "windows/dialogs/form_opt_connect.h"

#include <QButtonGroup>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFormLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QVBoxLayout>

#include "link/connection_settings.h"
#include "widgets/widget_dialog.h"
#include "windows/dialogs/form_com_setup.h"

namespace terval {
namespace {

// The character a key types into the edits, as their filters judge it. Focus keys (Tab), editing
// keys (Delete, Home, End, the arrows, Ctrl+Backspace) and shortcuts (Ctrl+A, Ctrl+C) type none:
// they act as in any edit.
QChar typedCharacter(const QKeyEvent* key) {
    const Qt::KeyboardModifiers mods = key->modifiers() & ~(Qt::KeypadModifier | Qt::ShiftModifier);
    if (mods != Qt::NoModifier) {
        return {};
    }
    switch (key->key()) {
        case Qt::Key_Backspace:
            return kKeyBackspace;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            return kKeyEnter;
        case Qt::Key_Escape:
            return kKeyEscape;
        default:
            break;
    }
    const QString text = key->text();
    return text.size() == 1 && text.front().isPrint() ? text.front() : QChar();
}

// The edit's text as it would be once its selection is typed over.
QString textWithoutSelection(const QLineEdit* edit) {
    QString text = edit->text();
    if (edit->hasSelectedText()) {
        text.remove(edit->selectionStart(), edit->selectedText().size());
    }
    return text;
}

// Typed and pasted characters go at the end, as the filters judged them; a selection is typed
// over first, so that a field entered with Tab (all selected) takes a fresh value.
void typeAtEnd(QLineEdit* edit, const QString& characters) {
    if (edit->hasSelectedText()) {
        edit->del();
    }
    edit->end(false);
    edit->insert(characters);
}

}  // namespace

TFormOptConnect::TFormOptConnect(ConnectionConfig& connection, SerialSettings& port,
                                 StationSettings& settings, const QDir& folder,
                                 MessageSink& messages, QWidget* parent)
    : QDialog(parent),
      connection_(connection),
      port_(port),
      settings_(settings),
      folder_(folder),
      messages_(messages) {
    QVBoxLayout* column =
        setUpFixedDialog(this, "FormOptConnect", QStringLiteral("Настройки связи"));

    RadioGroup = new QGroupBox(QStringLiteral("Тип связи"), this);
    RadioGroup->setObjectName(QStringLiteral("RadioGroup"));
    auto* radios = new QVBoxLayout(RadioGroup);
    auto* group = new QButtonGroup(this);
    const QString captions[3] = {QStringLiteral("Через RS - 232"), QStringLiteral("Через RS - 485"),
                                 QStringLiteral("Через Ithernet TCP/IP")};
    for (int i = 0; i < 3; ++i) {
        linkButtons_[i] = new QRadioButton(captions[i], RadioGroup);
        group->addButton(linkButtons_[i], i);
        radios->addWidget(linkButtons_[i]);
    }
    column->addWidget(RadioGroup);

    GroupBox1 = new QGroupBox(QStringLiteral("Настройки  ItherNet"), this);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    // The edits hand the focus back here when they are left with Enter or Escape.
    GroupBox1->setFocusPolicy(Qt::StrongFocus);
    auto* form = new QFormLayout(GroupBox1);
    EditIPAddr = new QLineEdit(GroupBox1);
    EditIPAddr->setObjectName(QStringLiteral("EditIPAddr"));
    EditIPAddr->setMinimumWidth(150);
    EditIPPort = new QLineEdit(GroupBox1);
    EditIPPort->setObjectName(QStringLiteral("EditIPPort"));
    EditIPPort->setMaximumWidth(80);
    form->addRow(QStringLiteral("IP адрес:"), EditIPAddr);
    form->addRow(QStringLiteral("Порт:"), EditIPPort);
    for (QLineEdit* edit : {EditIPAddr, EditIPPort}) {
        edit->installEventFilter(this);
        // Pasted text goes through the key filter; dropped text has no such path, so none is taken.
        edit->setAcceptDrops(false);
    }
    column->addWidget(GroupBox1);

    BtnOptionCOM = dialogButton(this, "BtnOptionCOM", QStringLiteral("Настройки COM порта"));
    column->addWidget(BtnOptionCOM);

    GroupPoll = new QGroupBox(QStringLiteral("Опрос"), this);
    GroupPoll->setObjectName(QStringLiteral("GroupPoll"));
    auto* pollForm = new QFormLayout(GroupPoll);
    pollByTick_ = new QRadioButton(QStringLiteral("по такту"), GroupPoll);
    pollByTick_->setObjectName(QStringLiteral("RadioPollTick"));
    pollByWire_ = new QRadioButton(QStringLiteral("с темпом линии"), GroupPoll);
    pollByWire_->setObjectName(QStringLiteral("RadioPollWire"));
    auto* paces = new QHBoxLayout;
    paces->addWidget(pollByTick_);
    paces->addWidget(pollByWire_);
    paces->addStretch();
    pollForm->addRow(QStringLiteral("Опрос:"), paces);
    const auto msBox = [this](const char* name, int least, int most) {
        auto* box = new QSpinBox(GroupPoll);
        box->setObjectName(QLatin1String(name));
        box->setRange(least, most);
        box->setSuffix(QStringLiteral(" мс"));
        box->setMaximumWidth(110);
        return box;
    };
    serialMargin_ = msBox("SpinSerialMargin", kLeastMarginMs, kMostMarginMs);
    tcpMargin_ = msBox("SpinTcpMargin", kLeastMarginMs, kMostMarginMs);
    tcpPause_ = msBox("SpinTcpPause", 0, kMostTcpPauseMs);
    pollForm->addRow(QStringLiteral("Запас ожидания ответа, COM порт:"), serialMargin_);
    pollForm->addRow(QStringLiteral("Ожидание ответа, TCP/IP:"), tcpMargin_);
    pollForm->addRow(QStringLiteral("Пауза после ответа, TCP/IP:"), tcpPause_);
    // The margins and the pause only matter at the pace of the line.
    connect(pollByWire_, &QRadioButton::toggled, this, [this](bool wire) {
        serialMargin_->setEnabled(wire);
        tcpMargin_->setEnabled(wire);
        tcpPause_->setEnabled(wire);
    });
    column->addWidget(GroupPoll);

    CheckBoxSave = new QCheckBox(QStringLiteral("Записать в файл"), this);
    CheckBoxSave->setObjectName(QStringLiteral("CheckBoxSave"));
    column->addWidget(CheckBoxSave);
    CheckBoxConnectAtStart = new QCheckBox(QStringLiteral("Устанавливать связь при запуске"), this);
    CheckBoxConnectAtStart->setObjectName(QStringLiteral("CheckBoxConnectAtStart"));
    column->addWidget(CheckBoxConnectAtStart);

    BtnOK = dialogButton(this, "BtnOK", QStringLiteral("OK"));
    BtnCancel = dialogButton(this, "BtnCancel", QStringLiteral("Отмена"));
    addButtonRow(column, {BtnOK, BtnCancel});

    FormComSetup = new TFormComSetup(port_, folder_, this);

    connect(BtnOptionCOM, &QPushButton::clicked, this, &TFormOptConnect::BtnOptionCOMClick);
    connect(BtnOK, &QPushButton::clicked, this, &TFormOptConnect::BtnOKClick);
    connect(BtnCancel, &QPushButton::clicked, this, &TFormOptConnect::BtnCancelClick);
}

void TFormOptConnect::showEvent(QShowEvent* event) {
    FormShow();
    QDialog::showEvent(event);
}

void TFormOptConnect::FormShow() {
    const ConnectionConfig& c = connection_;
    linkButtons_[std::min<int>(c.LinkType, 2)]->setChecked(true);
    EditIPAddr->setText(c.ipText());
    EditIPPort->setText(QString::number(c.tcpPort));
    addressBeforeClick_ = EditIPAddr->text();
    portBeforeClick_ = EditIPPort->text();
    paintEdit(EditIPAddr, false);
    paintEdit(EditIPPort, false);
    GroupBox1->setFocus();
    CheckBoxSave->setChecked(false);
    CheckBoxConnectAtStart->setChecked(settings_.connectAtStart);
    const PollPacing& pacing = settings_.poll;
    (pacing.pace == PollPace::Wire ? pollByWire_ : pollByTick_)->setChecked(true);
    serialMargin_->setValue(pacing.serialMarginMs);
    tcpMargin_->setValue(pacing.tcpMarginMs);
    tcpPause_->setValue(pacing.tcpPauseMs);
    const bool wire = pacing.pace == PollPace::Wire;
    serialMargin_->setEnabled(wire);
    tcpMargin_->setEnabled(wire);
    tcpPause_->setEnabled(wire);
}

int TFormOptConnect::linkTypeChosen() const {
    for (int i = 0; i < 3; ++i) {
        if (linkButtons_[i]->isChecked()) {
            return i;
        }
    }
    return kLinkRs232;
}

void TFormOptConnect::paintEdit(QLineEdit* edit, bool typing) {
    QPalette pal = edit->palette();
    const QPalette standard = palette();
    pal.setColor(QPalette::Base,
                 typing ? QColor(0x00, 0x80, 0x00) : standard.color(QPalette::Base));
    pal.setColor(QPalette::Text,
                 typing ? standard.color(QPalette::Base) : standard.color(QPalette::Text));
    edit->setPalette(pal);
}

void TFormOptConnect::EditIPPortClick(QLineEdit* edit) {
    (edit == EditIPAddr ? addressBeforeClick_ : portBeforeClick_) = edit->text();
    edit->clear();
    paintEdit(edit, true);
}

void TFormOptConnect::EditIPPortExit(QLineEdit* edit) {
    paintEdit(edit, false);
}

void TFormOptConnect::BtnOptionCOMClick() {
    FormComSetup->exec();
}

void TFormOptConnect::BtnOKClick() {
    ConnectionConfig& config = connection_;
    const SettingsApply result = applyConnectionSettings(config, linkTypeChosen(), port_,
                                                         EditIPAddr->text(), EditIPPort->text());
    EditIPAddr->setText(result.addressText);
    GroupBox1->setFocus();
    if (result.error) {
        messages_.showMessage(MessageIcon::Error, *result.error);
        return;
    }
    if (CheckBoxSave->isChecked()) {
        if (FileError error = saveConfigFile(folder_.absoluteFilePath(kConfigFileName), config)) {
            messages_.showMessage(MessageIcon::Error, *error);
            return;
        }
    }
    // Kept in its own file at once: it matters at the next start, whoever starts the station.
    StationSettings settings = settings_;
    settings.connectAtStart = CheckBoxConnectAtStart->isChecked();
    if (settings.connectAtStart != settings_.connectAtStart) {
        if (FileError error = saveStationSettings(folder_, settings)) {
            messages_.showMessage(MessageIcon::Error, *error);
            return;
        }
        settings_ = settings;
    }
    // Kept at once as well, and in force from the next "Установить связь".
    PollPacing pacing;
    pacing.pace = pollByWire_->isChecked() ? PollPace::Wire : PollPace::Tick;
    pacing.serialMarginMs = serialMargin_->value();
    pacing.tcpMarginMs = tcpMargin_->value();
    pacing.tcpPauseMs = tcpPause_->value();
    if (pacing != settings_.poll) {
        if (FileError error = savePollPacing(folder_, pacing)) {
            messages_.showMessage(MessageIcon::Error, *error);
            return;
        }
        settings_.poll = pacing;
    }
    accept();
}

EditKeyFilter TFormOptConnect::filterOf(const QLineEdit* edit) const {
    return edit == EditIPAddr ? ipAddressKey : ipPortKey;
}

void TFormOptConnect::pasteInto(QLineEdit* edit, QClipboard::Mode mode) {
    const QString accepted = acceptedTyping(
        textWithoutSelection(edit), QGuiApplication::clipboard()->text(mode), filterOf(edit));
    if (!accepted.isEmpty()) {
        typeAtEnd(edit, accepted);
    }
}

void TFormOptConnect::showEditMenu(QLineEdit* edit, QPoint globalPos) {
    // The edit's own menu would paste past the filter; this one pastes through it.
    QMenu menu(edit);
    const bool selected = edit->hasSelectedText();
    menu.addAction(QStringLiteral("Вырезать"), edit, &QLineEdit::cut)->setEnabled(selected);
    menu.addAction(QStringLiteral("Копировать"), edit, &QLineEdit::copy)->setEnabled(selected);
    menu.addAction(QStringLiteral("Вставить"), this,
                   [this, edit] { pasteInto(edit, QClipboard::Clipboard); })
        ->setEnabled(!QGuiApplication::clipboard()->text().isEmpty());
    menu.addAction(QStringLiteral("Удалить"), edit, &QLineEdit::del)->setEnabled(selected);
    menu.addSeparator();
    menu.addAction(QStringLiteral("Выделить всё"), edit, &QLineEdit::selectAll)
        ->setEnabled(!edit->text().isEmpty());
    menu.exec(globalPos);
}

bool TFormOptConnect::eventFilter(QObject* watched, QEvent* event) {
    auto* edit = qobject_cast<QLineEdit*>(watched);
    if (!edit || (edit != EditIPAddr && edit != EditIPPort)) {
        return QDialog::eventFilter(watched, event);
    }
    switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick: {
            const Qt::MouseButton button = static_cast<QMouseEvent*>(event)->button();
            if (button == Qt::LeftButton && event->type() == QEvent::MouseButtonPress) {
                EditIPPortClick(edit);
            }
            // The middle button pastes the selection, through the filter, on release.
            if (button == Qt::MiddleButton) {
                return true;
            }
            break;
        }
        case QEvent::MouseButtonRelease:
            if (static_cast<QMouseEvent*>(event)->button() == Qt::MiddleButton) {
                if (QGuiApplication::clipboard()->supportsSelection()) {
                    pasteInto(edit, QClipboard::Selection);
                }
                return true;
            }
            break;
        case QEvent::ContextMenu:
            showEditMenu(edit, static_cast<QContextMenuEvent*>(event)->globalPos());
            return true;
        case QEvent::FocusOut:
            EditIPPortExit(edit);
            break;
        case QEvent::KeyPress: {
            auto* key = static_cast<QKeyEvent*>(event);
            if (key->matches(QKeySequence::Paste)) {
                pasteInto(edit, QClipboard::Clipboard);
                return true;
            }
            const QChar c = typedCharacter(key);
            if (c.isNull()) {
                return QDialog::eventFilter(watched, event);
            }
            switch (filterOf(edit)(textWithoutSelection(edit), c)) {
                case EditKey::Accept:
                    if (c == kKeyBackspace) {
                        edit->backspace();
                    } else {
                        typeAtEnd(edit, QString(c));
                    }
                    return true;
                case EditKey::Discard:
                    return true;
                case EditKey::Leave:
                    GroupBox1->setFocus();
                    return true;
                case EditKey::RestoreAndLeave:
                    edit->setText(edit == EditIPAddr ? addressBeforeClick_ : portBeforeClick_);
                    GroupBox1->setFocus();
                    return true;
            }
            break;
        }
        default:
            break;
    }
    return QDialog::eventFilter(watched, event);
}

}  // namespace terval
