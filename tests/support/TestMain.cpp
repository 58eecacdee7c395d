#include <QApplication>

#include <gtest/gtest.h>

// A suite may define this to take over the process before any application exists, once every
// static object is built (the island's X11 tests re-run their executable as the island).
extern "C" __attribute__((weak)) void kestraboTestPreMain();

int main(int argc, char** argv)
{
    if (kestraboTestPreMain)
        kestraboTestPreMain();
    // Views render off screen; tests that need a real X display start their own Xvfb.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // Nothing under test may reach a real service: unless a test names a stand-in, the API
    // base is a closed loopback port.
    qputenv("OPENAI_BASE_URL", "http://127.0.0.1:9/v1");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
