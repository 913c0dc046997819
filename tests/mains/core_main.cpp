#include <gtest/gtest.h>
#include <QCoreApplication>

#include "test_environment.h"

int main(int argc, char** argv) {
    terval::testing::setTestEnvironment();
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
