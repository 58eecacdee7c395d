#pragma once

#include "platform/KeySource.h"

#include <QByteArray>
#include <QHash>
#include <QObject>

#include <atomic>

struct _XDisplay;
class QSocketNotifier;

namespace kestrabo {

// Global keys on X11: XInput2 raw key events selected on the root window of a connection of
// our own. Raw events are copies for listeners, so nothing is grabbed and the focused window
// still gets every key. The connection is read on the main thread whenever its socket turns
// readable: each event is a few bytes of decoding for consumers that live there anyway, and an
// idle listener costs nothing. X key codes become the companion's key codes through the key
// symbols of the server's keymap; held modifiers are tracked here, so every modifier change is
// one flags-changed event and every other key press one key-down event.
class X11KeySource final : public QObject, public KeySource {
public:
    // An empty name means $DISPLAY.
    explicit X11KeySource(const QByteArray& displayName = {}, QObject* parent = nullptr);
    ~X11KeySource() override;

    // XInput2 2.0 or later on a reachable display, outside a Wayland session (where an X client
    // hears keys only while one of its own windows has focus).
    bool listenAccess() override;
    QString accessNotice() override;
    bool start() override;
    void stop() override;
    bool isListening() override;
    std::optional<quint64> confirmedEventMask() override;

private:
    void readEvents();
    void readLater();
    void loadKeymap();
    void rawKey(bool press, int xKeyCode);
    void connectionLost();

    QByteArray m_displayName;
    _XDisplay* m_display = nullptr;
    std::atomic<bool> m_lost{false};
    int m_opcode = 0;
    QSocketNotifier* m_notifier = nullptr;
    // X key code → our key code, for the keys we know by name.
    QHash<int, int> m_keyCodes;
    // X key codes of the modifiers now down → their device bits.
    QHash<int, quint64> m_held;
};

} // namespace kestrabo
