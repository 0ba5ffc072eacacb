#include <QCoreApplication>
#include <gtest/gtest.h>

#include "TestSupport.h"

// HOME and XDG_CONFIG_HOME already point at the sandbox (TestSupport.cpp sets them before main).
int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return velkaro::test::runAllTests();
}
