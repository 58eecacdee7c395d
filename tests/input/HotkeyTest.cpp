#include "FakeInput.h"
#include "input/Hotkey.h"
#include "platform/HostSystem.h"
#include "platform/linux/X11KeySource.h"
#include "support/TestSupport.h"
#include "support/XFixture.h"

#include <QElapsedTimer>
#include <QStringList>

#include <gtest/gtest.h>

using namespace kestrabo;
using namespace kestrabo::test;

namespace {

// The controller on a real key source, fed by XTest through the suite's X server. Every
// callback lands in one log ("tap", "hold", "release", "cancel", or the diagnostic text), and
// each key change is awaited until the source has passed it on, so the order is exact.
struct HotkeyRig {
    X11KeySource keys;
    HotkeyController controller{&keys};
    FakeInput input;
    QStringList log;
    std::optional<bool> available;
    int heard = 0;

    explicit HotkeyRig(const QByteArray& display = {}) : keys(display), input(display)
    {
        controller.onTap = [this] { log << QStringLiteral("tap"); };
        controller.onHold = [this] { log << QStringLiteral("hold"); };
        controller.onRelease = [this] { log << QStringLiteral("release"); };
        controller.onCancel = [this] { log << QStringLiteral("cancel"); };
        controller.onDiagnostic = [this](const QString& text) { log << text; };
        controller.onAvailability = [this](bool value) { available = value; };
    }

    bool install()
    {
        const bool installed = controller.install();
        if (installed) {
            auto inner = keys.onEvent;
            keys.onEvent = [this, inner](const KeyEvent& event) {
                ++heard;
                inner(event);
            };
        }
        return installed;
    }

    // One press or release that the source turns into an event, awaited.
    void key(const char* name, bool press)
    {
        const int before = heard;
        press ? input.press(name) : input.release(name);
        EXPECT_TRUE(waitUntil([&] { return heard > before; })) << name;
    }
    void down(const char* name) { key(name, true); }
    void up(const char* name) { key(name, false); }

    // Nothing more reaches the log for a while (the hold delay included).
    QStringList settle()
    {
        spin(HotkeyController::holdDelayMs + 100);
        return std::exchange(log, {});
    }
};

const QString kRightShiftDown = QStringLiteral("Right Shift flags 0x20004");
const QString kRightShiftUp = QStringLiteral("Right Shift flags 0x0");
const QString kCancelled = QStringLiteral("Circle gesture cancelled by another key");

} // namespace

TEST(HotkeyX11, TapAndHoldOfTheChosenKey)
{
    HotkeyRig rig;
    ASSERT_TRUE(rig.install());
    EXPECT_EQ(rig.available, true);
    EXPECT_TRUE(rig.controller.keyboardMaskAvailable());

    rig.down("Shift_R");
    rig.up("Shift_R");
    EXPECT_EQ(rig.settle(), QStringList({kRightShiftDown, kRightShiftUp, QStringLiteral("Right Shift tapped"),
                                         QStringLiteral("tap")}));

    QElapsedTimer held;
    rig.down("Shift_R");
    held.start();
    ASSERT_TRUE(waitUntil([&] { return rig.log.contains(QStringLiteral("hold")); }));
    EXPECT_GE(held.elapsed(), HotkeyController::holdDelayMs);
    spin(60);
    rig.up("Shift_R");
    EXPECT_EQ(rig.settle(), QStringList({kRightShiftDown, QStringLiteral("Right Shift held. Drag to circle."),
                                         QStringLiteral("hold"), kRightShiftUp, QStringLiteral("Right Shift released"),
                                         QStringLiteral("release")}));
    EXPECT_EQ(rig.controller.observedEventMask() & HotkeyController::requiredEvents, quint64(1) << KeyEvent::flagsChanged);
}

TEST(HotkeyX11, ChordsAndInterruptionsAbandonTheGesture)
{
    HotkeyRig rig;
    ASSERT_TRUE(rig.install());

    // Left Shift joins: cancelled, and the release afterwards is nothing.
    rig.down("Shift_R");
    rig.down("Shift_L");
    rig.up("Shift_L");
    rig.up("Shift_R");
    EXPECT_EQ(rig.settle(), QStringList({kRightShiftDown, kCancelled, QStringLiteral("cancel"), kRightShiftUp}));

    // A letter: the same.
    rig.down("Shift_R");
    rig.down("a");
    rig.input.release("a");
    rig.up("Shift_R");
    EXPECT_EQ(rig.settle(), QStringList({kRightShiftDown, kCancelled, QStringLiteral("cancel"), kRightShiftUp}));
    EXPECT_EQ(rig.controller.observedEventMask() & HotkeyController::requiredEvents, HotkeyController::requiredEvents);

    // Escape while held: cancel without a diagnostic; the release is nothing.
    rig.down("Shift_R");
    ASSERT_TRUE(waitUntil([&] { return rig.log.contains(QStringLiteral("hold")); }));
    rig.down("Escape");
    rig.input.release("Escape");
    rig.up("Shift_R");
    EXPECT_EQ(rig.settle(), QStringList({kRightShiftDown, QStringLiteral("Right Shift held. Drag to circle."),
                                         QStringLiteral("hold"), QStringLiteral("cancel"), kRightShiftUp}));

    // Super held first: the key is part of a chord from the start, and no callback runs.
    rig.down("Super_L");
    rig.down("Shift_R");
    EXPECT_EQ(rig.controller.state(), HotkeyGesture::State::suppressed);
    rig.up("Shift_R");
    rig.up("Super_L");
    EXPECT_EQ(rig.settle(), QStringList({QStringLiteral("Right Shift flags 0x12000C"),
                                         QStringLiteral("Right Shift flags 0x100008")}));
}

TEST(HotkeyX11, ChangingTheKeyWhileHeldCancelsAndTheNewKeyWorks)
{
    HotkeyRig rig;
    ASSERT_TRUE(rig.install());
    rig.down("Shift_R");
    ASSERT_TRUE(waitUntil([&] { return rig.log.contains(QStringLiteral("hold")); }));
    rig.log.clear();
    rig.controller.setModifier(HotkeyModifier::rightOption);
    EXPECT_EQ(rig.log, QStringList({QStringLiteral("cancel")}));
    rig.up("Shift_R");
    EXPECT_EQ(rig.settle(), QStringList({QStringLiteral("cancel")}));

    rig.down("Alt_R");
    rig.up("Alt_R");
    EXPECT_EQ(rig.settle(), QStringList({QStringLiteral("Right Option flags 0x80040"), QStringLiteral("Right Option flags 0x0"),
                                         QStringLiteral("Right Option tapped"), QStringLiteral("tap")}));
}

TEST(HotkeyX11, TheFocusedWindowStillGetsEveryKey)
{
    HotkeyRig rig;
    const quint64 window = rig.input.focusedWindow(QRect(10, 10, 200, 100));
    ASSERT_TRUE(rig.install());
    rig.down("Shift_R");
    rig.up("Shift_R");
    rig.down("a");
    rig.input.release("a");
    EXPECT_EQ(rig.settle().count(QStringLiteral("tap")), 1);
    EXPECT_TRUE(waitUntil([&] { return rig.input.keyPressesReceived() == 2; }));
    EXPECT_EQ(rig.input.inputFocus(), window);
}

TEST(HotkeyX11, AvailabilityFollowsTheListener)
{
    // No key source, or a Wayland session: unavailable, the latter said in one sentence.
    {
        HotkeyController controller(nullptr);
        std::optional<bool> available;
        controller.onAvailability = [&](bool value) { available = value; };
        EXPECT_FALSE(controller.install());
        EXPECT_EQ(available, false);
    }
    {
        qputenv("WAYLAND_DISPLAY", "wayland-0");
        HotkeyRig rig;
        EXPECT_FALSE(rig.install());
        qunsetenv("WAYLAND_DISPLAY");
        EXPECT_EQ(rig.available, false);
        EXPECT_EQ(rig.log, QStringList({QString::fromUtf8(host::waylandShortcutUnavailable)}));
        EXPECT_FALSE(rig.keys.isListening());
    }

    // A server of its own, so that it can go away under the listener.
    Xvfb server;
    ASSERT_EQ(server.start(QSize(640, 480)), QString());
    HotkeyRig rig(server.display());
    ASSERT_TRUE(rig.install());
    EXPECT_TRUE(rig.install()); // already there: stays
    EXPECT_EQ(rig.keys.confirmedEventMask(), HotkeyController::requiredEvents);
    rig.down("Shift_R");
    rig.log.clear();
    server.stop();
    ASSERT_TRUE(waitUntil([&] { return rig.log.contains(QStringLiteral("Shortcut monitor restarted")); }));
    EXPECT_EQ(rig.log.first(), QStringLiteral("cancel"));
    EXPECT_EQ(rig.available, false); // nothing to reinstall on
    EXPECT_EQ(rig.controller.state(), HotkeyGesture::State::idle);
    EXPECT_FALSE(rig.keys.isListening());

    rig.controller.uninstall();
    EXPECT_EQ(rig.controller.observedEventMask(), 0u);
}
