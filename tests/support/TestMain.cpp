#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    // Views render off screen; tests that need a real X display start their own Xvfb.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // Nothing under test may reach a real service: unless a test names a stand-in, the API
    // base is a closed loopback port.
    qputenv("OPENAI_BASE_URL", "http://127.0.0.1:9/v1");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
