#include "TestSupport.h"

// HOME and XDG_CONFIG_HOME already point at the sandbox (TestSupport.cpp sets them before main).
int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    return velkaro::test::runAllTests();
}
