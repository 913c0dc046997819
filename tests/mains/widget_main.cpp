#include <gtest/gtest.h>
#include <QApplication>
#include <QTemporaryFile>

#include "test_environment.h"

int main(int argc, char** argv) {
    terval::testing::setTestEnvironment();
    // The windows are tried on the smallest screen the station is made for, 1024 x 768, not on
    // the offscreen platform's own 800 x 600.
    QTemporaryFile screens;
    if (qgetenv("QT_QPA_PLATFORM") == "offscreen" && screens.open()) {
        screens.write(R"({"screens": [{"name": "Screen1024", "x": 0, "y": 0, "width": 1024,
                          "height": 768, "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})");
        screens.flush();
        qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + screens.fileName().toLocal8Bit());
    }
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
