#pragma once

#include <QString>
#include <QtGlobal>

#include <functional>
#include <optional>

namespace kestrabo {

// The companion's key encoding: virtual key codes and modifier flags of the keys it cares about.
namespace keycode {
inline constexpr int escape = 53;
inline constexpr int rightCommand = 54, leftCommand = 55, leftShift = 56, leftOption = 58, leftControl = 59,
                     rightShift = 60, rightOption = 61, rightControl = 62;
// Keys without a code of their own carry the window system's code above this offset.
inline constexpr int otherKeyBase = 0x1000;
} // namespace keycode

namespace keyflag {
// Device-dependent: one bit per physical modifier key.
inline constexpr quint64 leftControl = 0x1, leftShift = 0x2, rightShift = 0x4, leftCommand = 0x8, rightCommand = 0x10,
                         leftOption = 0x20, rightOption = 0x40, rightControl = 0x2000;
// Device-independent: one bit per modifier family.
inline constexpr quint64 shift = 0x20000, control = 0x40000, option = 0x80000, command = 0x100000;
} // namespace keyflag

// One key event heard system-wide, in the companion's own key encoding: the virtual key codes
// and device-dependent modifier bits of HotkeyModifier, whatever the window system calls them.
struct KeyEvent {
    enum Type : int {
        keyDown = 10,
        flagsChanged = 12,
        // The listener stopped hearing keys (its connection went away); it must be set up again.
        disabled = -1,
    };
    int type = keyDown;
    int keyCode = 0;
    // Device-dependent bits of the modifiers held after this event, plus their family flags.
    quint64 flags = 0;
};

// A listen-only global keyboard listener: the user's keys still reach their own window.
// Events arrive on the main thread, in order, through `onEvent`.
class KeySource {
public:
    virtual ~KeySource() = default;

    // Whether keys can be heard system-wide here at all.
    virtual bool listenAccess() = 0;
    // Why not, in one sentence for the user, when the reason is worth saying; else empty.
    virtual QString accessNotice() { return {}; }

    // Sets the listener up (again); false when it could not be.
    virtual bool start() = 0;
    virtual void stop() = 0;
    // Started, and still connected.
    virtual bool isListening() = 0;
    // The KeyEvent types (bit per type) the window system confirms our listener receives; none
    // when it cannot be asked or holds no selection of ours.
    virtual std::optional<quint64> confirmedEventMask() = 0;

    std::function<void(const KeyEvent&)> onEvent;
};

} // namespace kestrabo
