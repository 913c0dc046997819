#include <QApplication>
#include <QDir>
#include <QLocale>

#include "app/clock.h"
#include "app/form_main.h"
#include "app/form_message_box.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("ТЕРВАЛ. Версия 1.33"));
    terval::installFontSubstitutions();

    terval::MessageBoxSink messages;
    terval::SystemClock clock;
    // The station keeps all its files in the folder it was started in.
    terval::TFormMain main(QDir::current(), messages, clock, QLocale::system());
    main.show();
    return QApplication::exec();
}
