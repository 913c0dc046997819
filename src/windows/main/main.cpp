#include <QApplication>
#include <QCommandLineParser>
#include <QDialog>
#include <QDir>
#include <QLibraryInfo>
#include <QLocale>
#include <QSysInfo>
#include <QTextStream>
#include <QTimer>
#include <QTranslator>
#include <cstdlib>
#include <optional>

#include "app/journal_export.h"
#include "dcsnet/modbus_tcp_server.h"
#include "mqtt/mosquitto_client.h"
#include "service/exit_signals.h"
#include "service/headless_station.h"
#include "station/clock.h"
#include "station/station_settings.h"
#include "station/station_texts.h"
#include "windows/dialogs/form_message_box.h"
#include "windows/main/windowed_station.h"

namespace {

// "--export-journal FILE [--from DATE] [--to DATE]": the journal to a CSV file and nothing else,
// so that it runs where there is no display, from a script or over a remote shell.
bool asksForJournalExport(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "--export-journal") == 0 ||
            QByteArray(argv[i]).startsWith("--export-journal=")) {
            return true;
        }
    }
    return false;
}

int exportJournal(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Выгрузка журнала станции из папки, в которой она запущена, в файл CSV."));
    parser.addHelpOption();
    const QCommandLineOption file(QStringLiteral("export-journal"),
                                  QStringLiteral("Файл CSV, в который выгрузить журнал."),
                                  QStringLiteral("ФАЙЛ"));
    const QCommandLineOption from(QStringLiteral("from"),
                                  QStringLiteral("Записи с этого момента (07.12.2026 14:30)."),
                                  QStringLiteral("ДАТА"));
    const QCommandLineOption to(QStringLiteral("to"),
                                QStringLiteral("Записи до этого момента; дата без времени "
                                               "включает весь день."),
                                QStringLiteral("ДАТА"));
    parser.addOptions({file, from, to});
    parser.process(app);
    QTextStream out(stdout);
    QTextStream err(stderr);
    const terval::JournalExportParse parse =
        terval::journalExportRequest(parser.value(file), parser.value(from), parser.value(to));
    if (!parse.request) {
        err << parse.error << Qt::endl;
        return 2;
    }
    terval::SystemClock clock;
    const terval::JournalExportResult result =
        terval::exportJournal(QDir::current(), *parse.request, clock);
    (result.exitCode == 0 ? out : err) << result.message << Qt::endl;
    return result.exitCode;
}

// "--headless" decides which application object there is, and so comes before any of them.
bool asksForHeadless(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "--headless") == 0) {
            return true;
        }
    }
    return false;
}

// The options of the station itself, with and without windows.
struct StationOptions {
    QCommandLineOption connect{QStringLiteral("connect"),
                               QStringLiteral("Установить связь сразу после запуска, как по F10.")};
    QCommandLineOption headless{
        QStringLiteral("headless"),
        QStringLiteral("Работать без окон и без дисплея, как служба: связь устанавливается сразу, "
                       "а всё, что показали бы окна, пишется в стандартный поток ошибок. "
                       "Завершение по сигналу SIGTERM, SIGINT или SIGHUP.")};
    QCommandLineOption mqtt{QStringLiteral("mqtt"),
                            QStringLiteral("Брокер MQTT, которому станция сообщает состояние реле "
                                           "и события (вместо указанного в terval.ini)."),
                            QStringLiteral("ХОСТ:ПОРТ")};
    QCommandLineOption mqttPrefix{
        QStringLiteral("mqtt-prefix"),
        QStringLiteral("Первый уровень тем MQTT (вместо указанного в terval.ini; по умолчанию "
                       "terval)."),
        QStringLiteral("ПРЕФИКС")};
    QCommandLineOption modbusServer{
        QStringLiteral("modbus-server"),
        QStringLiteral("Отдавать значения реле системе управления станции как Modbus TCP "
                       "сервер (только чтение) на этом порту и, если задан, адресе (вместо "
                       "указанного в terval.ini)."),
        QStringLiteral("[АДРЕС:]ПОРТ")};
    QCommandLineOption poll{
        QStringLiteral("poll"),
        QStringLiteral("Опрос: tick — по такту 100 мс, wire — с темпом линии (вместо указанного "
                       "в terval.ini)."),
        QStringLiteral("wire|tick")};

    void addTo(QCommandLineParser& parser) const {
        parser.setApplicationDescription(QStringLiteral(
            "ТЕРВАЛ: станция оператора сети реле контроля изоляции. Файлы станции лежат в папке, "
            "из которой она запущена."));
        parser.addHelpOption();
        parser.addOptions({connect, headless, mqtt, mqttPrefix, modbusServer, poll});
    }

    terval::PlantOptions plant(const QCommandLineParser& parser) const {
        return terval::PlantOptions{
            terval::MqttCommandLine{parser.value(mqtt), parser.value(mqttPrefix)},
            [] { return std::make_unique<terval::MosquittoClient>(); },
            QSysInfo::machineHostName()};
    }

    // The pace asked for, or nothing; a word that is neither ends the program with the reason,
    // before anything is polled at a pace nobody chose.
    std::optional<terval::PollPace> pace(const QCommandLineParser& parser) const {
        if (!parser.isSet(poll)) {
            return std::nullopt;
        }
        const std::optional<terval::PollPace> chosen = terval::pollPaceNamed(parser.value(poll));
        if (!chosen) {
            QTextStream(stderr)
                << QStringLiteral("--poll %1: нужно wire или tick.").arg(parser.value(poll))
                << Qt::endl;
            std::exit(2);
        }
        return chosen;
    }

    terval::DcsOptions dcs(const QCommandLineParser& parser) const {
        return terval::DcsOptions{terval::DcsServerCommandLine{parser.value(modbusServer)},
                                  [] { return std::make_unique<terval::ModbusTcpServer>(); }};
    }
};

int runHeadless(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(terval::kStationCaption);
    QCommandLineParser parser;
    const StationOptions options;
    options.addTo(parser);
    parser.process(app);
    QTextStream log(stderr);
    // The station keeps all its files in the folder it was started in.
    const std::optional<terval::PollPace> pace = options.pace(parser);
    return terval::runHeadlessStation(QDir::current(), options.plant(parser), log,
                                      options.dcs(parser), pace);
}

}  // namespace

int main(int argc, char** argv) {
    if (asksForJournalExport(argc, argv)) {
        return exportJournal(argc, argv);
    }
    if (asksForHeadless(argc, argv)) {
        return runHeadless(argc, argv);
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(terval::kStationCaption);
    terval::installFontSubstitutions();
    // Qt's own dialogs (the file dialog of the journal's export, the date pickers' calendar) speak
    // the station's language whatever the computer's is set to.
    QTranslator qtTexts;
    if (qtTexts.load(QLocale(QLocale::Russian, QLocale::Russia), QStringLiteral("qtbase"),
                     QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QApplication::installTranslator(&qtTexts);
    }

    QCommandLineParser parser;
    const StationOptions options;
    options.addTo(parser);
    parser.process(app);
    const std::optional<terval::PollPace> pace = options.pace(parser);

    // What the station tells and reads outlives it; the station outlives its windows.
    terval::MessageBoxSink messages;
    terval::SystemClock clock;
    // The station keeps all its files in the folder it was started in.
    terval::WindowedStation station(QDir::current(), messages, clock, QLocale::system(),
                                    options.plant(parser), options.dcs(parser));
    terval::TFormMain& main = station.window();
    if (pace) {
        station.core().setPaceFromCommandLine(*pace);
    }
    main.show();
    // The end of a desktop session and a shutdown come as SIGTERM (Ctrl+C in a terminal as
    // SIGINT, the terminal it was started from closing as SIGHUP): the station closes as by
    // "Выход", so that the readings held in memory, the journal's last records and an unsaved
    // device list are kept. Dialogs still open are cancelled first, as when the operator closes
    // them, so that no nested loop outlives the core.
    terval::ExitSignals exitSignals([&main](int) {
        for (int guard = 0; guard < 16; ++guard) {
            QWidget* modal = QApplication::activeModalWidget();
            if (modal == nullptr) {
                break;
            }
            if (auto* dialog = qobject_cast<QDialog*>(modal)) {
                dialog->reject();
            } else {
                modal->close();
            }
            if (QApplication::activeModalWidget() == modal) {
                modal->hide();
            }
        }
        QTimer::singleShot(0, &main, [&main] { main.NExitClick(); });
    });
    if (!exitSignals.error().isEmpty()) {
        messages.showMessage(terval::MessageIcon::Warning,
                             QStringLiteral("Сигналы завершения не перехватываются (%1): при "
                                            "выключении компьютера станция закроется без записи "
                                            "последних показаний.")
                                 .arg(exitSignals.error()));
    }
    if (parser.isSet(options.connect) || main.station().settings.connectAtStart) {
        // Once the window is up and any start-up message has been seen to.
        QTimer::singleShot(0, &main, [&main] { main.connectAtStart(); });
    }
    return QApplication::exec();
}
