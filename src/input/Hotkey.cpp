#include "input/Hotkey.h"

#include <QPointer>

#include <utility>

namespace kestrabo {

namespace {

constexpr quint64 kAllDeviceBits = keyflag::leftControl | keyflag::leftShift | keyflag::rightShift
    | keyflag::leftCommand | keyflag::rightCommand | keyflag::leftOption | keyflag::rightOption | keyflag::rightControl;
constexpr quint64 kAllFamilies = keyflag::shift | keyflag::control | keyflag::option | keyflag::command;

quint64 ownFamily(HotkeyModifier modifier)
{
    switch (modifier) {
    case HotkeyModifier::rightShift: return keyflag::shift;
    case HotkeyModifier::rightCommand: return keyflag::command;
    case HotkeyModifier::rightOption: return keyflag::option;
    case HotkeyModifier::rightControl: return keyflag::control;
    }
    return 0;
}

} // namespace

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

int keyCode(HotkeyModifier modifier)
{
    switch (modifier) {
    case HotkeyModifier::rightShift: return keycode::rightShift;
    case HotkeyModifier::rightCommand: return keycode::rightCommand;
    case HotkeyModifier::rightOption: return keycode::rightOption;
    case HotkeyModifier::rightControl: return keycode::rightControl;
    }
    return -1;
}

quint64 ownDeviceBit(HotkeyModifier modifier)
{
    switch (modifier) {
    case HotkeyModifier::rightShift: return keyflag::rightShift;
    case HotkeyModifier::rightCommand: return keyflag::rightCommand;
    case HotkeyModifier::rightOption: return keyflag::rightOption;
    case HotkeyModifier::rightControl: return keyflag::rightControl;
    }
    return 0;
}

quint64 otherDeviceBits(HotkeyModifier modifier) { return kAllDeviceBits & ~ownDeviceBit(modifier); }

quint64 otherFamilies(HotkeyModifier modifier) { return kAllFamilies & ~ownFamily(modifier); }

bool otherModifiersDown(HotkeyModifier modifier, quint64 flags)
{
    return (flags & (otherDeviceBits(modifier) | otherFamilies(modifier))) != 0;
}

HotkeyAction HotkeyGesture::flagsChanged(int code, quint64 flags, HotkeyModifier modifier)
{
    const bool own = (flags & ownDeviceBit(modifier)) != 0;
    const bool others = otherModifiersDown(modifier, flags);
    const bool inProgress = state == State::pressed || state == State::held;
    if (code == keyCode(modifier)) {
        if (!own) {
            const State previous = std::exchange(state, State::idle);
            if (previous == State::pressed)
                return HotkeyAction::tapped;
            return previous == State::held ? HotkeyAction::released : HotkeyAction::noAction;
        }
        if (others) {
            state = State::suppressed;
            return inProgress ? HotkeyAction::cancelled : HotkeyAction::noAction;
        }
        if (state != State::idle)
            return HotkeyAction::noAction;
        state = State::pressed;
        return HotkeyAction::pressBegan;
    }
    if (!inProgress)
        return HotkeyAction::noAction;
    if (!own) {
        state = State::idle;
        return HotkeyAction::cancelled;
    }
    if (!others)
        return HotkeyAction::noAction;
    state = State::suppressed;
    return HotkeyAction::cancelled;
}

HotkeyController::HotkeyController(KeySource* keys, QObject* parent) : QObject(parent), m_keys(keys) {}

HotkeyController::~HotkeyController()
{
    m_holdTask.cancel();
    if (m_installed) {
        m_keys->onEvent = nullptr;
        m_keys->stop();
    }
}

void HotkeyController::setModifier(HotkeyModifier modifier)
{
    if (modifier == m_modifier)
        return;
    m_modifier = modifier;
    reset();
}

bool HotkeyController::install()
{
    if (m_installed) {
        if (m_keys->isListening() && keyboardMaskAvailable()) {
            report(true);
            return true;
        }
        uninstall();
    }
    if (!m_keys || !m_keys->listenAccess()) {
        if (m_keys) {
            if (const QString notice = m_keys->accessNotice(); !notice.isEmpty())
                diagnose(notice);
        }
        report(false);
        return false;
    }
    QPointer<HotkeyController> self(this);
    m_keys->onEvent = [self](const KeyEvent& event) {
        if (self)
            self->receive(event);
    };
    if (!m_keys->start()) {
        m_keys->onEvent = nullptr;
        report(false);
        return false;
    }
    m_installed = true;
    const bool available = m_keys->isListening() && keyboardMaskAvailable();
    report(available);
    return available;
}

void HotkeyController::uninstall()
{
    reset();
    if (m_installed) {
        m_keys->onEvent = nullptr;
        m_keys->stop();
        m_installed = false;
    }
    m_observedEventMask = 0;
    report(false);
}

bool HotkeyController::keyboardMaskAvailable() const
{
    if (const std::optional<quint64> confirmed = m_keys ? m_keys->confirmedEventMask() : std::nullopt)
        return (*confirmed & requiredEvents) == requiredEvents;
    return (m_observedEventMask & requiredEvents) == requiredEvents;
}

void HotkeyController::receive(const KeyEvent& event)
{
    if (event.type == KeyEvent::disabled) {
        m_gesture.state = HotkeyGesture::State::idle;
        m_holdTask.cancel();
        if (onCancel)
            onCancel();
        diagnose(QStringLiteral("Shortcut monitor restarted"));
        install();
        return;
    }
    if (event.type >= 0 && event.type < 64)
        m_observedEventMask |= quint64(1) << event.type;
    if ((m_observedEventMask & requiredEvents) == requiredEvents)
        report(true);
    if (event.type == KeyEvent::keyDown) {
        if (event.keyCode == keycode::escape) {
            m_gesture.state = HotkeyGesture::State::idle;
            m_holdTask.cancel();
            if (onCancel)
                onCancel();
            return;
        }
        if (m_gesture.state == HotkeyGesture::State::pressed || m_gesture.state == HotkeyGesture::State::held) {
            m_gesture.state = HotkeyGesture::State::suppressed;
            dispatch(HotkeyAction::cancelled);
        } else {
            dispatch(HotkeyAction::noAction);
        }
        return;
    }
    if (event.keyCode == keyCode(m_modifier))
        diagnose(title(m_modifier) + QStringLiteral(" flags 0x") + QString::number(event.flags, 16).toUpper());
    dispatch(m_gesture.flagsChanged(event.keyCode, event.flags, m_modifier));
}

void HotkeyController::dispatch(HotkeyAction action)
{
    switch (action) {
    case HotkeyAction::noAction:
        return;
    case HotkeyAction::pressBegan: {
        m_holdTask.cancel();
        m_holdTask = Job::start();
        QPointer<HotkeyController> self(this);
        m_holdTask.after(holdDelayMs, this, [self] {
            if (!self)
                return;
            if (self->m_gesture.state != HotkeyGesture::State::pressed)
                return self->dispatch(HotkeyAction::noAction);
            self->m_gesture.state = HotkeyGesture::State::held;
            self->dispatch(HotkeyAction::holdBegan);
        });
        return;
    }
    case HotkeyAction::holdBegan:
        diagnose(title(m_modifier) + QStringLiteral(" held. Drag to circle."));
        if (onHold)
            onHold();
        return;
    case HotkeyAction::tapped:
        m_holdTask.cancel();
        diagnose(title(m_modifier) + QStringLiteral(" tapped"));
        if (onTap)
            onTap();
        return;
    case HotkeyAction::released:
        m_holdTask.cancel();
        diagnose(title(m_modifier) + QStringLiteral(" released"));
        if (onRelease)
            onRelease();
        return;
    case HotkeyAction::cancelled:
        m_holdTask.cancel();
        diagnose(QStringLiteral("Circle gesture cancelled by another key"));
        if (onCancel)
            onCancel();
        return;
    }
}

void HotkeyController::reset()
{
    m_gesture.state = HotkeyGesture::State::idle;
    m_holdTask.cancel();
    if (onCancel)
        onCancel();
}

void HotkeyController::report(bool available)
{
    if (onAvailability)
        onAvailability(available);
}

void HotkeyController::diagnose(const QString& text)
{
    if (onDiagnostic)
        onDiagnostic(text);
}

} // namespace kestrabo
