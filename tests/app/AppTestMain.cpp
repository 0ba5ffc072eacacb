#include "AppTestSupport.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

namespace velkaro::test {

void drainEvents()
{
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}

} // namespace velkaro::test

// HOME and XDG_CONFIG_HOME already point at the sandbox (TestSupport.cpp sets them before main).
int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
