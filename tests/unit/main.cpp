// Entry point of the unit tests. A QCoreApplication exists for the whole run
// because parts of the core use Qt services that expect one.
#include <QCoreApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
