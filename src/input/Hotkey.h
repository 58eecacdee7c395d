#pragma once

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

// The system-wide shortcut key monitor. Without a key-event backend it cannot install.
class HotkeyController : public QObject {
    Q_OBJECT
public:
    explicit HotkeyController(QObject* parent = nullptr) : QObject(parent) {}

    std::function<void()> onTap;
    std::function<void()> onHold;
    std::function<void()> onRelease;
    std::function<void()> onCancel;
    std::function<void(const QString&)> onDiagnostic;
    std::function<void(bool)> onAvailability;

    HotkeyModifier modifier() const { return m_modifier; }
    void setModifier(HotkeyModifier modifier) { m_modifier = modifier; }

    bool install()
    {
        if (onAvailability)
            onAvailability(false);
        return false;
    }
    void uninstall() {}

private:
    HotkeyModifier m_modifier = HotkeyModifier::rightShift;
};

} // namespace kestrabo
