#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QLocale>
#include <QTimer>

#include "station/clock.h"
#include "station/station_texts.h"
#include "windows/form_main.h"
#include "windows/form_message_box.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(terval::kStationCaption);
    terval::installFontSubstitutions();

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "ТЕРВАЛ: станция оператора сети реле контроля изоляции. Файлы станции лежат в папке, "
        "из которой она запущена."));
    parser.addHelpOption();
    const QCommandLineOption connect(
        QStringLiteral("connect"),
        QStringLiteral("Установить связь сразу после запуска, как по F10."));
    parser.addOption(connect);
    parser.process(app);

    terval::MessageBoxSink messages;
    terval::SystemClock clock;
    // The station keeps all its files in the folder it was started in.
    terval::TFormMain main(QDir::current(), messages, clock, QLocale::system());
    main.show();
    if (parser.isSet(connect) || main.station().settings.connectAtStart) {
        // Once the window is up and any start-up message has been seen to.
        QTimer::singleShot(0, &main, [&main] { main.connectAtStart(); });
    }
    return QApplication::exec();
}
