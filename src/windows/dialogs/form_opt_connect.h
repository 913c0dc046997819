#pragma once

#include <QCheckBox>
#include <QClipboard>
#include <QDialog>
#include <QDir>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>

#include "devices/connection_config.h"
#include "link/connection_settings.h"
#include "station/message_sink.h"
#include "station/station_settings.h"

namespace terval {

class TFormComSetup;

// "Настройки связи": which link the station uses and with which parameters. "OK" changes the
// connection record in memory and, with "Записать в файл", in config.cfg; the settings take effect
// at the next "Установить связь".
class TFormOptConnect : public QDialog {
    Q_OBJECT
  public:
    // The record it edits, the port object the serial setup works on, the station's own settings
    // and the working folder both are kept in.
    TFormOptConnect(ConnectionConfig& connection, SerialSettings& port, StationSettings& settings,
                    const QDir& folder, MessageSink& messages, QWidget* parent = nullptr);

    void FormShow();
    void EditIPPortClick(QLineEdit* edit);
    void EditIPPortExit(QLineEdit* edit);
    void BtnOptionCOMClick();
    void BtnOKClick();
    void BtnCancelClick() { reject(); }

    int linkTypeChosen() const;

  protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // Controls under the names the station's description gives them, as the tests find them; the
    // link buttons in their order (RS-232, RS-485, TCP) inside RadioGroup.
    QGroupBox* RadioGroup = nullptr;
    QRadioButton* linkButtons_[3] = {nullptr, nullptr, nullptr};
    QGroupBox* GroupBox1 = nullptr;
    QLineEdit* EditIPAddr = nullptr;
    QLineEdit* EditIPPort = nullptr;
    QPushButton* BtnOptionCOM = nullptr;
    QCheckBox* CheckBoxSave = nullptr;
    QCheckBox* CheckBoxConnectAtStart = nullptr;
    // "Опрос: по такту / с темпом линии", with the margins and the gateway's pause.
    QGroupBox* GroupPoll = nullptr;
    QRadioButton* pollByTick_ = nullptr;
    QRadioButton* pollByWire_ = nullptr;
    QSpinBox* serialMargin_ = nullptr;
    QSpinBox* tcpMargin_ = nullptr;
    QSpinBox* tcpPause_ = nullptr;
    QPushButton* BtnOK = nullptr;
    QPushButton* BtnCancel = nullptr;
    TFormComSetup* FormComSetup = nullptr;

    void paintEdit(QLineEdit* edit, bool typing);
    EditKeyFilter filterOf(const QLineEdit* edit) const;
    void pasteInto(QLineEdit* edit, QClipboard::Mode mode);
    void showEditMenu(QLineEdit* edit, QPoint globalPos);

    ConnectionConfig& connection_;
    SerialSettings& port_;
    StationSettings& settings_;
    QDir folder_;
    MessageSink& messages_;
    // The text of each edit when it was last clicked, for Escape.
    QString addressBeforeClick_;
    QString portBeforeClick_;
};

}  // namespace terval
