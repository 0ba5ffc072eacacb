#include <QApplication>
#include <gtest/gtest.h>

#include "TestSupport.h"

// HOME and XDG_CONFIG_HOME already point at the sandbox (TestSupport.cpp sets them before main).
int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    // Test discovery runs the executable without the tests' environment.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    return velkaro::test::runAllTests();
}
