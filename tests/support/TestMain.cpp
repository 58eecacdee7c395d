#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    // Views render off screen; tests that need a real X display start their own Xvfb.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
