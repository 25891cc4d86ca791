#include "support/child_processes.h"
#include "support/local_ports.h"

#include <QCoreApplication>
#include <QStringList>

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (const QStringList arguments = QCoreApplication::arguments(); arguments.value(1) == "--stand-in-parent") {
        return cordavelle::test::runStandInParent(arguments.mid(2));
    }
    ::testing::InitGoogleTest(&argc, argv);
    cordavelle::test::releaseHeldPortsAfterEachTest();
    return RUN_ALL_TESTS();
}
