#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>
#include <QTimer>
#include <memory>

#include "historian/historian_config.h"
#include "plantd/plant_assembly.h"
#include "plantweb/plant_history.h"
#include "plantweb/plant_live_state.h"
#include "plantweb/plant_web_server.h"
#include "service/exit_signals.h"

// terval-plant: the plant's historian as a service. Everything the stations publish to the plant's
// broker, into PostgreSQL; no window, the log on standard error (journalctl for the service).

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("terval-plant"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TERVAL_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "ТЕРВАЛ, архив завода: события, тревоги и сопротивление изоляции всех станций из брокера "
        "MQTT в базу PostgreSQL. Настройки в terval-plant.ini; командная строка важнее файла. "
        "Завершение по сигналу SIGTERM или SIGINT."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption mqtt(QStringLiteral("mqtt"),
                                  QStringLiteral("Брокер MQTT, в который публикуют станции."),
                                  QStringLiteral("УЗЕЛ:ПОРТ"));
    const QCommandLineOption prefix(
        QStringLiteral("mqtt-prefix"),
        QStringLiteral("Первый уровень тем станций (по умолчанию terval); подписка на "
                       "ПРЕФИКС/+/#."),
        QStringLiteral("ПРЕФИКС"));
    const QCommandLineOption db(QStringLiteral("db"), QStringLiteral("База PostgreSQL."),
                                QStringLiteral("postgresql://ПОЛЬЗОВАТЕЛЬ@УЗЕЛ:ПОРТ/БАЗА"));
    const QCommandLineOption dbPassword(
        QStringLiteral("db-password-file"),
        QStringLiteral("Файл с паролем пользователя базы (пароль только из файла)."),
        QStringLiteral("ФАЙЛ"));
    const QCommandLineOption http(QStringLiteral("http"),
                                  QStringLiteral("Веб-просмотр завода на этом порту и, если "
                                                 "задан, адресе (по умолчанию 127.0.0.1)."),
                                  QStringLiteral("[АДРЕС:]ПОРТ"));
    const QCommandLineOption config(
        QStringLiteral("config"),
        QStringLiteral("Файл настроек (по умолчанию terval-plant.ini в папке настроек службы или "
                       "в рабочей папке)."),
        QStringLiteral("ФАЙЛ"));
    parser.addOptions({mqtt, prefix, db, dbPassword, http, config});
    QTextStream err(stderr);
    if (!parser.parse(QCoreApplication::arguments())) {
        err << "terval-plant: " << parser.errorText() << Qt::endl;
        return 2;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        parser.showHelp(0);
    }
    if (parser.isSet(QStringLiteral("version"))) {
        parser.showVersion();
    }
    if (!parser.positionalArguments().isEmpty()) {
        err << "terval-plant: лишние аргументы: " << parser.positionalArguments().join(' ')
            << Qt::endl;
        return 2;
    }

    const terval::PlantCommandLine commandLine{parser.value(mqtt), parser.value(prefix),
                                               parser.value(db),   parser.value(dbPassword),
                                               parser.value(http), parser.value(config)};
    const terval::HistorianConfigLoad load =
        terval::loadHistorianConfig(commandLine, terval::PlantDefaults::fromEnvironment());
    if (!load.settings) {
        err << load.error << Qt::endl;
        return 2;
    }

    terval::PlantLog log(err);
    if (!load.configFile.isEmpty()) {
        log.line(QStringLiteral("Настройки из %1").arg(load.configFile));
    }
    // Before anything starts: a signal during the start is taken once the loop runs, and the
    // stop then goes the whole orderly way.
    terval::ExitSignals exitSignals([&log](int signo) {
        log.line(QStringLiteral("Получен сигнал %1: остановка").arg(terval::exitSignalName(signo)));
        QTimer::singleShot(0, qApp, [] { QCoreApplication::quit(); });
    });
    if (!exitSignals.error().isEmpty()) {
        log.line(QStringLiteral("Сигналы завершения не перехватываются (%1): при остановке службы "
                                "несохранённое может пропасть.")
                     .arg(exitSignals.error()));
    }
    // The plant view in a browser: the broker's messages on the main thread, the history read on
    // a database connection of its own. Made before the assembly, so that they outlive its last
    // delivery.
    std::unique_ptr<terval::PlantLiveState> live;
    std::unique_ptr<terval::PlantHistory> history;
    std::unique_ptr<terval::PlantWebServer> web;
    terval::PlantAssembly assembly(*load.settings, log);
    QString error;
    if (load.settings->web.enabled) {
        live = std::make_unique<terval::PlantLiveState>();
        history = std::make_unique<terval::PlantHistory>(load.settings->database,
                                                         QStringLiteral("terval-plant-web"));
        web = std::make_unique<terval::PlantWebServer>(load.settings->web, *live, history.get());
        assembly.addSink(*live);
        if (!web->start(&error)) {
            log.line(error);
            return 1;
        }
        log.line(
            QStringLiteral("Веб-просмотр: %1://%2:%3/")
                .arg(load.settings->web.tls() ? QStringLiteral("https") : QStringLiteral("http"),
                     load.settings->web.address)
                .arg(web->port()));
    }
    if (!assembly.start(&error)) {
        log.line(error);
        return 1;
    }
    const int code = QCoreApplication::exec();
    assembly.stop();
    return code;
}
