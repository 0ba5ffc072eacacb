#include <QCoreApplication>
#include <gtest/gtest.h>

// HOME and XDG_CONFIG_HOME already point at the sandbox (TestSupport.cpp sets them before main).
int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
