#pragma once

#include "core/Job.h"
#include "platform/KeySource.h"

#include <QObject>
#include <QString>

#include <array>
#include <functional>
#include <optional>

namespace kestrabo {

// The right-side modifier chosen as the global shortcut; the raw value is the stored setting.
enum class HotkeyModifier { rightShift, rightCommand, rightOption, rightControl };

inline constexpr std::array kHotkeyModifiers{HotkeyModifier::rightShift, HotkeyModifier::rightCommand,
                                             HotkeyModifier::rightOption, HotkeyModifier::rightControl};

QString rawValue(HotkeyModifier modifier);
QString title(HotkeyModifier modifier);
std::optional<HotkeyModifier> hotkeyModifierFromRawValue(const QString& raw);

// How the key shows up in key events (see KeySource.h for the encoding).
int keyCode(HotkeyModifier modifier);
quint64 ownDeviceBit(HotkeyModifier modifier);
// Every other device-dependent modifier bit, the same key on the left included.
quint64 otherDeviceBits(HotkeyModifier modifier);
// The family flags of the three other modifier families.
quint64 otherFamilies(HotkeyModifier modifier);
bool otherModifiersDown(HotkeyModifier modifier, quint64 flags);

enum class HotkeyAction { noAction, pressBegan, holdBegan, tapped, released, cancelled };

// Tap or hold of the chosen key alone; anything else pressed meanwhile makes it a chord that is
// ignored until the key goes up.
struct HotkeyGesture {
    enum class State { idle, pressed, held, suppressed };
    State state = State::idle;

    HotkeyAction flagsChanged(int keyCode, quint64 flags, HotkeyModifier modifier);
};

// The system-wide shortcut key monitor: listens through a KeySource, runs the gesture and
// reports it through the callbacks, all on the main thread.
class HotkeyController : public QObject {
    Q_OBJECT
public:
    // Hold delay of the key, on a monotonic clock.
    static constexpr int holdDelayMs = 240;
    static constexpr quint64 requiredEvents = (quint64(1) << KeyEvent::keyDown) | (quint64(1) << KeyEvent::flagsChanged);

    // Without a key source the shortcut never installs.
    explicit HotkeyController(KeySource* keys, QObject* parent = nullptr);
    ~HotkeyController() override;

    std::function<void()> onTap;
    std::function<void()> onHold;
    std::function<void()> onRelease;
    std::function<void()> onCancel;
    std::function<void(const QString&)> onDiagnostic;
    std::function<void(bool)> onAvailability;

    HotkeyModifier modifier() const { return m_modifier; }
    // A different key abandons the gesture in progress; the listener stays.
    void setModifier(HotkeyModifier modifier);

    bool install();
    void uninstall();

    HotkeyGesture::State state() const { return m_gesture.state; }
    quint64 observedEventMask() const { return m_observedEventMask; }
    bool keyboardMaskAvailable() const;

private:
    void receive(const KeyEvent& event);
    void dispatch(HotkeyAction action);
    void reset();
    void report(bool available);
    void diagnose(const QString& text);

    KeySource* m_keys;
    HotkeyModifier m_modifier = HotkeyModifier::rightShift;
    bool m_installed = false;
    HotkeyGesture m_gesture;
    Job m_holdTask;
    quint64 m_observedEventMask = 0;
};

} // namespace kestrabo
