#include <gtest/gtest.h>
#include <QApplication>

#include "test_environment.h"

int main(int argc, char** argv) {
    terval::testing::setTestEnvironment();
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
