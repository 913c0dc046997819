#include "link/form_opt_connect.h"

#include "app/station_settings.h"

#include <QButtonGroup>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QVBoxLayout>

#include "app/station_core.h"
#include "app/widget_dialog.h"
#include "link/connection_settings.h"
#include "link/form_com_setup.h"

namespace terval {
namespace {

// The character a key stands for in the edits' filters.
QChar keyCharacter(const QKeyEvent* key) {
    switch (key->key()) {
        case Qt::Key_Backspace:
            return kKeyBackspace;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            return kKeyEnter;
        case Qt::Key_Escape:
            return kKeyEscape;
        default:
            return key->text().isEmpty() ? QChar() : key->text().front();
    }
}

}  // namespace

TFormOptConnect::TFormOptConnect(StationCore& core, MessageSink& messages, QWidget* parent)
    : QDialog(parent), core_(core), messages_(messages) {
    QVBoxLayout* column =
        setUpFixedDialog(this, "FormOptConnect", QStringLiteral("Настройки связи"));

    RadioGroup = new QGroupBox(QStringLiteral("Тип связи"), this);
    RadioGroup->setObjectName(QStringLiteral("RadioGroup"));
    auto* radios = new QVBoxLayout(RadioGroup);
    auto* group = new QButtonGroup(this);
    const QString captions[3] = {QStringLiteral("Через RS - 232"), QStringLiteral("Через RS - 485"),
                                 QStringLiteral("Через Ithernet TCP/IP")};
    for (int i = 0; i < 3; ++i) {
        linkButtons[i] = new QRadioButton(captions[i], RadioGroup);
        group->addButton(linkButtons[i], i);
        radios->addWidget(linkButtons[i]);
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
        // Text dropped or pasted in is judged on "OK"; only typed keys are filtered.
        edit->setContextMenuPolicy(Qt::DefaultContextMenu);
    }
    column->addWidget(GroupBox1);

    BtnOptionCOM = new QPushButton(QStringLiteral("Настройки COM порта"), this);
    BtnOptionCOM->setObjectName(QStringLiteral("BtnOptionCOM"));
    column->addWidget(BtnOptionCOM);

    CheckBoxSave = new QCheckBox(QStringLiteral("Записать в файл"), this);
    CheckBoxSave->setObjectName(QStringLiteral("CheckBoxSave"));
    column->addWidget(CheckBoxSave);
    CheckBoxConnectAtStart = new QCheckBox(QStringLiteral("Устанавливать связь при запуске"), this);
    CheckBoxConnectAtStart->setObjectName(QStringLiteral("CheckBoxConnectAtStart"));
    column->addWidget(CheckBoxConnectAtStart);

    BtnOK = dialogButton(this, "BtnOK", QStringLiteral("OK"));
    BtnCancel = dialogButton(this, "BtnCancel", QStringLiteral("Отмена"));
    addButtonRow(column, {BtnOK, BtnCancel});

    FormComSetup = new TFormComSetup(core_.link.serialSettings(), core_.station.folder, this);

    connect(BtnOptionCOM, &QPushButton::clicked, this, &TFormOptConnect::BtnOptionCOMClick);
    connect(BtnOK, &QPushButton::clicked, this, &TFormOptConnect::BtnOKClick);
    connect(BtnCancel, &QPushButton::clicked, this, &TFormOptConnect::BtnCancelClick);
}

void TFormOptConnect::showEvent(QShowEvent* event) {
    FormShow();
    QDialog::showEvent(event);
}

void TFormOptConnect::FormShow() {
    const ConnectionConfig& c = core_.station.connection;
    linkButtons[std::min<int>(c.LinkType, 2)]->setChecked(true);
    EditIPAddr->setText(c.ipText());
    EditIPPort->setText(QString::number(c.tcpPort));
    addressBeforeClick_ = EditIPAddr->text();
    portBeforeClick_ = EditIPPort->text();
    paintEdit(EditIPAddr, false);
    paintEdit(EditIPPort, false);
    GroupBox1->setFocus();
    CheckBoxSave->setChecked(false);
    CheckBoxConnectAtStart->setChecked(core_.station.settings.connectAtStart);
}

int TFormOptConnect::linkTypeChosen() const {
    for (int i = 0; i < 3; ++i) {
        if (linkButtons[i]->isChecked()) {
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
    ConnectionConfig& config = core_.station.connection;
    const SettingsApply result =
        applyConnectionSettings(config, linkTypeChosen(), core_.link.serialSettings(),
                                EditIPAddr->text(), EditIPPort->text());
    EditIPAddr->setText(result.addressText);
    GroupBox1->setFocus();
    if (result.error) {
        messages_.showMessage(MessageIcon::Error, *result.error);
        return;
    }
    if (CheckBoxSave->isChecked()) {
        if (FileError error = saveConfigFile(core_.station.configPath(), config)) {
            messages_.showMessage(MessageIcon::Error, *error);
            return;
        }
    }
    // Kept in its own file at once: it matters at the next start, whoever starts the station.
    StationSettings settings = core_.station.settings;
    settings.connectAtStart = CheckBoxConnectAtStart->isChecked();
    if (settings.connectAtStart != core_.station.settings.connectAtStart) {
        if (FileError error = saveStationSettings(core_.station.folder, settings)) {
            messages_.showMessage(MessageIcon::Error, *error);
            return;
        }
        core_.station.settings = settings;
    }
    accept();
}

bool TFormOptConnect::eventFilter(QObject* watched, QEvent* event) {
    auto* edit = qobject_cast<QLineEdit*>(watched);
    if (!edit || (edit != EditIPAddr && edit != EditIPPort)) {
        return QDialog::eventFilter(watched, event);
    }
    switch (event->type()) {
        case QEvent::MouseButtonPress:
            EditIPPortClick(edit);
            break;
        case QEvent::FocusOut:
            EditIPPortExit(edit);
            break;
        case QEvent::KeyPress: {
            auto* key = static_cast<QKeyEvent*>(event);
            // Cursor movement and the like are no characters; they pass as they are.
            const QChar c = keyCharacter(key);
            if (c.isNull()) {
                return QDialog::eventFilter(watched, event);
            }
            const EditKey verdict =
                edit == EditIPAddr ? ipAddressKey(edit->text(), c) : ipPortKey(edit->text(), c);
            switch (verdict) {
                case EditKey::Accept:
                    if (c == kKeyBackspace) {
                        edit->backspace();
                    } else {
                        edit->end(false);
                        edit->insert(QString(c));
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
