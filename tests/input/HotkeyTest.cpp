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

// The controller on a real key source, typed at through XTest. Callbacks and diagnostics land
// in one log; each key change is awaited until the source has passed it on, so order is exact.
struct HotkeyRig {
    X11KeySource keys;
    HotkeyController controller{&keys};
    FakeInput input;
    QStringList log;
    std::optional<bool> available;
    int heard = 0;

    explicit HotkeyRig(const QByteArray& display = {}) : keys(display), input(display)
    {
        const auto note = [this](const char* word) { return [this, word] { log << QString::fromLatin1(word); }; };
        controller.onTap = note("tap");
        controller.onHold = note("hold");
        controller.onRelease = note("release");
        controller.onCancel = note("cancel");
        controller.onDiagnostic = [this](const QString& text) { log << text; };
        controller.onAvailability = [this](bool value) { available = value; };
    }

    bool install()
    {
        if (!controller.install())
            return false;
        keys.onEvent = [this, inner = keys.onEvent](const KeyEvent& event) {
            ++heard;
            inner(event);
        };
        return true;
    }

    void key(const char* name, bool press)
    {
        const int before = heard;
        press ? input.press(name) : input.release(name);
        EXPECT_TRUE(waitUntil([&] { return heard > before; })) << name;
    }
    void down(const char* name) { key(name, true); }
    void up(const char* name) { key(name, false); }
    void holdUntilCircling(const char* name)
    {
        down(name);
        EXPECT_TRUE(waitUntil([&] { return log.contains(QStringLiteral("hold")); }));
    }
    // What reached the log, after long enough for a late hold to show.
    QStringList settle()
    {
        spin(HotkeyController::holdDelayMs + 100);
        return std::exchange(log, {});
    }
};

const QString kDown = QStringLiteral("Right Shift flags 0x20004");
const QString kUp = QStringLiteral("Right Shift flags 0x0");
const QString kHeld = QStringLiteral("Right Shift held. Drag to circle.");
const QString kCancelled = QStringLiteral("Circle gesture cancelled by another key");

} // namespace

TEST(HotkeyX11, TapAndHoldReachTheCallbacksWhileTheFocusedWindowKeepsItsKeys)
{
    HotkeyRig rig;
    const quint64 window = rig.input.focusedWindow(QRect(10, 10, 200, 100));
    ASSERT_TRUE(rig.install());
    EXPECT_EQ(rig.available, true);
    EXPECT_TRUE(rig.controller.keyboardMaskAvailable());

    rig.down("Shift_R");
    rig.up("Shift_R");
    EXPECT_EQ(rig.settle(), QStringList({kDown, kUp, QStringLiteral("Right Shift tapped"), QStringLiteral("tap")}));

    QElapsedTimer held;
    held.start();
    rig.holdUntilCircling("Shift_R");
    EXPECT_GE(held.elapsed(), HotkeyController::holdDelayMs);
    rig.up("Shift_R");
    EXPECT_EQ(rig.settle(), QStringList({kDown, kHeld, QStringLiteral("hold"), kUp, QStringLiteral("Right Shift released"),
                                         QStringLiteral("release")}));

    // Each choice answers to its own key.
    for (const auto& [modifier, key] : {std::pair{HotkeyModifier::rightCommand, "Super_R"},
                                        {HotkeyModifier::rightOption, "Alt_R"},
                                        {HotkeyModifier::rightControl, "Control_R"}}) {
        rig.controller.setModifier(modifier);
        rig.down(key);
        rig.up(key);
        const QStringList log = rig.settle();
        EXPECT_EQ(log.mid(log.size() - 2), QStringList({title(modifier) + QStringLiteral(" tapped"), QStringLiteral("tap")}));
    }

    rig.down("a");
    rig.input.release("a");
    EXPECT_TRUE(waitUntil([&] { return rig.input.keyPressesReceived() == 6; }));
    EXPECT_EQ(rig.input.inputFocus(), window);
    EXPECT_EQ(rig.controller.observedEventMask() & HotkeyController::requiredEvents, HotkeyController::requiredEvents);
}

TEST(HotkeyX11, ChordsInterruptionsAndAnotherKeyAbandonTheGesture)
{
    HotkeyRig rig;
    ASSERT_TRUE(rig.install());
    // Left Shift or a letter joins: cancelled, and releasing is nothing.
    for (const char* other : {"Shift_L", "a"}) {
        rig.down("Shift_R");
        rig.down(other);
        rig.input.release(other);
        rig.up("Shift_R");
        EXPECT_EQ(rig.settle(), QStringList({kDown, kCancelled, QStringLiteral("cancel"), kUp})) << other;
    }
    // Escape while held: cancel without a diagnostic.
    rig.holdUntilCircling("Shift_R");
    rig.down("Escape");
    rig.input.release("Escape");
    rig.up("Shift_R");
    EXPECT_EQ(rig.settle(), QStringList({kDown, kHeld, QStringLiteral("hold"), QStringLiteral("cancel"), kUp}));
    // Super (Command) held first: part of a chord from the start, no callback.
    rig.down("Super_L");
    rig.down("Shift_R");
    EXPECT_EQ(rig.controller.state(), HotkeyGesture::State::suppressed);
    rig.up("Shift_R");
    rig.up("Super_L");
    EXPECT_EQ(rig.settle(),
              QStringList({QStringLiteral("Right Shift flags 0x12000C"), QStringLiteral("Right Shift flags 0x100008")}));
    // Choosing another key while held: cancelled; the old key is then just another key.
    rig.holdUntilCircling("Shift_R");
    rig.log.clear();
    rig.controller.setModifier(HotkeyModifier::rightOption);
    rig.up("Shift_R");
    rig.down("Alt_R");
    rig.up("Alt_R");
    EXPECT_EQ(rig.settle(), QStringList({QStringLiteral("cancel"), QStringLiteral("Right Option flags 0x80040"),
                                         QStringLiteral("Right Option flags 0x0"), QStringLiteral("Right Option tapped"),
                                         QStringLiteral("tap")}));
}

TEST(HotkeyX11, AvailabilityFollowsTheListener)
{
    HotkeyController bare(nullptr);
    std::optional<bool> available;
    bare.onAvailability = [&](bool value) { available = value; };
    EXPECT_FALSE(bare.install());
    EXPECT_EQ(available, false);
    {
        qputenv("WAYLAND_DISPLAY", "wayland-0");
        HotkeyRig rig;
        EXPECT_FALSE(rig.install());
        qunsetenv("WAYLAND_DISPLAY");
        EXPECT_EQ(rig.available, false);
        EXPECT_EQ(rig.log, QStringList({QString::fromUtf8(host::waylandShortcutUnavailable)}));
    }
    // A server of its own, to take away under the listener.
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
    EXPECT_EQ(rig.available, false); // nothing left to listen to
    EXPECT_EQ(rig.controller.state(), HotkeyGesture::State::idle);
    rig.controller.uninstall();
    EXPECT_EQ(rig.controller.observedEventMask(), 0u);
}
