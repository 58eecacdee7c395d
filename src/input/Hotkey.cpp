#include "input/Hotkey.h"

namespace kestrabo {

QString rawValue(HotkeyModifier modifier)
{
    switch (modifier) {
    case HotkeyModifier::rightShift: return QStringLiteral("rightShift");
    case HotkeyModifier::rightCommand: return QStringLiteral("rightCommand");
    case HotkeyModifier::rightOption: return QStringLiteral("rightOption");
    case HotkeyModifier::rightControl: return QStringLiteral("rightControl");
    }
    return QString();
}

QString title(HotkeyModifier modifier)
{
    switch (modifier) {
    case HotkeyModifier::rightShift: return QStringLiteral("Right Shift");
    case HotkeyModifier::rightCommand: return QStringLiteral("Right Command");
    case HotkeyModifier::rightOption: return QStringLiteral("Right Option");
    case HotkeyModifier::rightControl: return QStringLiteral("Right Control");
    }
    return QString();
}

std::optional<HotkeyModifier> hotkeyModifierFromRawValue(const QString& raw)
{
    for (HotkeyModifier modifier : kHotkeyModifiers) {
        if (rawValue(modifier) == raw)
            return modifier;
    }
    return std::nullopt;
}

} // namespace kestrabo
