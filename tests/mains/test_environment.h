#pragma once

#include <QByteArray>
#include <clocale>

namespace terval::testing {

// The same surroundings for every test program, however it is started (ctest, by hand, under a
// debugger): no display needed, no sound, and a UTF-8 locale that is not the operator's, so that
// file names in Cyrillic work and no text depends on the machine's language. Set before Qt reads
// them.
inline void setTestEnvironment() {
    if (qgetenv("QT_QPA_PLATFORM").isEmpty()) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    // Nothing a test does sounds on the speakers of the machine it runs on: the sound's own tests
    // point this at a sound server they start themselves.
    qputenv("PULSE_SERVER", "unix:/nonexistent/terval-tests-make-no-sound");
    qputenv("LC_ALL", "C.UTF-8");
    std::setlocale(LC_ALL, "C.UTF-8");
}

}  // namespace terval::testing
