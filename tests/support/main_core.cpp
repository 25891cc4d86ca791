#include "support/local_ports.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    cordavelle::test::releaseHeldPortsAfterEachTest();
    return RUN_ALL_TESTS();
}
