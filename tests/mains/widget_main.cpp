#include <gtest/gtest.h>
#include <QApplication>

int main(int argc, char** argv) {
    // Widget tests never need a display; they run on the offscreen platform unless told otherwise.
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
