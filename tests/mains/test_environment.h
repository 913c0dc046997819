#pragma once

#include <QByteArray>
#include <clocale>

namespace terval::testing {

// The same surroundings for every test program, however it is started (ctest, by hand, under a
// debugger): no display needed, and a UTF-8 locale that is not the operator's, so that file names
// in Cyrillic work and no text depends on the machine's language. Set before Qt reads them.
inline void setTestEnvironment() {
    if (qgetenv("QT_QPA_PLATFORM").isEmpty()) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    qputenv("LC_ALL", "C.UTF-8");
    std::setlocale(LC_ALL, "C.UTF-8");
}

}  // namespace terval::testing
