#include "platform/linux/X11KeySource.h"

#include "platform/HostSystem.h"

#include <QPointer>
#include <QSocketNotifier>

#include <utility>

// Xlib last: its macros (None, Bool, Status, …) would clash with the headers above.
#include "platform/linux/XlibConnection.h"
#include <X11/XKBlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/keysym.h>

namespace kestrabo {

namespace {

struct NamedKey {
    KeySym symbol;
    int code;
};

// Option is Alt, or AltGr where the layout puts ISO_Level3_Shift on the right Alt key; Command
// is Super.
constexpr NamedKey kNamedKeys[] = {
    {XK_Shift_L, keycode::leftShift},       {XK_Shift_R, keycode::rightShift},
    {XK_Control_L, keycode::leftControl},   {XK_Control_R, keycode::rightControl},
    {XK_Alt_L, keycode::leftOption},        {XK_Alt_R, keycode::rightOption},
    {XK_ISO_Level3_Shift, keycode::rightOption},
    {XK_Super_L, keycode::leftCommand},     {XK_Super_R, keycode::rightCommand},
    {XK_Escape, keycode::escape},
};

quint64 deviceBit(int code)
{
    switch (code) {
    case keycode::leftControl: return keyflag::leftControl;
    case keycode::leftShift: return keyflag::leftShift;
    case keycode::rightShift: return keyflag::rightShift;
    case keycode::leftCommand: return keyflag::leftCommand;
    case keycode::rightCommand: return keyflag::rightCommand;
    case keycode::leftOption: return keyflag::leftOption;
    case keycode::rightOption: return keyflag::rightOption;
    case keycode::rightControl: return keyflag::rightControl;
    default: return 0;
    }
}

quint64 withFamilies(quint64 bits)
{
    quint64 flags = bits;
    if (bits & (keyflag::leftShift | keyflag::rightShift))
        flags |= keyflag::shift;
    if (bits & (keyflag::leftControl | keyflag::rightControl))
        flags |= keyflag::control;
    if (bits & (keyflag::leftOption | keyflag::rightOption))
        flags |= keyflag::option;
    if (bits & (keyflag::leftCommand | keyflag::rightCommand))
        flags |= keyflag::command;
    return flags;
}

// The XInput major opcode when the server speaks XInput2 2.0 or later, else 0.
int xinput2Opcode(Display* display)
{
    int opcode = 0, event = 0, error = 0;
    if (!XQueryExtension(display, "XInputExtension", &opcode, &event, &error))
        return 0;
    int major = 2, minor = 2;
    xlib::ErrorTrap trap(display);
    if (XIQueryVersion(display, &major, &minor) != Success || trap.code || major < 2)
        return 0;
    return opcode;
}

} // namespace

X11KeySource::X11KeySource(const QByteArray& displayName, QObject* parent)
    : QObject(parent), m_displayName(displayName)
{
}

X11KeySource::~X11KeySource() { stop(); }

bool X11KeySource::listenAccess()
{
    if (host::isWaylandSession())
        return false;
    if (isListening())
        return true;
    std::atomic<bool> lost{false};
    Display* display = xlib::openDisplay(m_displayName, &lost);
    if (!display)
        return false;
    const bool available = xinput2Opcode(display) != 0 && !lost;
    xlib::closeDisplay(display);
    return available;
}

QString X11KeySource::accessNotice()
{
    return host::isWaylandSession() ? QString::fromUtf8(host::waylandShortcutUnavailable) : QString();
}

bool X11KeySource::start()
{
    if (isListening())
        return true;
    stop();
    m_lost = false;
    m_display = xlib::openDisplay(m_displayName, &m_lost);
    if (!m_display)
        return false;
    m_opcode = xinput2Opcode(m_display);
    if (!m_opcode) {
        stop();
        return false;
    }
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(bits, XI_RawKeyPress);
    XISetMask(bits, XI_RawKeyRelease);
    XIEventMask mask{XIAllMasterDevices, int(sizeof bits), bits};
    {
        xlib::ErrorTrap trap(m_display);
        XISelectEvents(m_display, DefaultRootWindow(m_display), &mask, 1);
        XSync(m_display, False);
        if (trap.code || m_lost) {
            stop();
            return false;
        }
    }
    loadKeymap();
    m_notifier = new QSocketNotifier(ConnectionNumber(m_display), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] { readEvents(); });
    readLater();
    return true;
}

void X11KeySource::stop()
{
    if (m_notifier) {
        // Possibly inside its own activation.
        m_notifier->setEnabled(false);
        m_notifier->deleteLater();
        m_notifier = nullptr;
    }
    xlib::closeDisplay(std::exchange(m_display, nullptr));
    m_held.clear();
}

bool X11KeySource::isListening() { return m_display && !m_lost; }

std::optional<quint64> X11KeySource::confirmedEventMask()
{
    if (!isListening())
        return std::nullopt;
    int count = 0;
    XIEventMask* masks = nullptr;
    {
        xlib::ErrorTrap trap(m_display);
        masks = XIGetSelectedEvents(m_display, DefaultRootWindow(m_display), &count);
        if (trap.code)
            count = 0;
    }
    // The round trip may have queued events that the socket will not announce again.
    readLater();
    if (!masks || count <= 0) {
        if (masks)
            XFree(masks);
        return std::nullopt;
    }
    bool press = false, release = false;
    for (int i = 0; i < count; ++i) {
        const XIEventMask& mask = masks[i];
        press = press || (mask.mask_len > XI_RawKeyPress / 8 && XIMaskIsSet(mask.mask, XI_RawKeyPress));
        release = release || (mask.mask_len > XI_RawKeyRelease / 8 && XIMaskIsSet(mask.mask, XI_RawKeyRelease));
    }
    XFree(masks);
    quint64 confirmed = 0;
    if (press)
        confirmed |= quint64(1) << KeyEvent::keyDown;
    if (press && release) // a modifier change is either
        confirmed |= quint64(1) << KeyEvent::flagsChanged;
    return confirmed;
}

void X11KeySource::readLater()
{
    QMetaObject::invokeMethod(this, [this] { readEvents(); }, Qt::QueuedConnection);
}

void X11KeySource::loadKeymap()
{
    m_keyCodes.clear();
    int first = 0, last = 0;
    XDisplayKeycodes(m_display, &first, &last);
    int perCode = 0;
    KeySym* symbols = XGetKeyboardMapping(m_display, KeyCode(first), last - first + 1, &perCode);
    if (!symbols)
        return;
    for (int code = first; code <= last; ++code) {
        const KeySym symbol = symbols[(code - first) * perCode];
        for (const NamedKey& key : kNamedKeys) {
            if (key.symbol == symbol)
                m_keyCodes.insert(code, key.code);
        }
    }
    XFree(symbols);
}

void X11KeySource::readEvents()
{
    while (isListening() && XPending(m_display) > 0) {
        XEvent event;
        XNextEvent(m_display, &event);
        if (event.type == MappingNotify) {
            XRefreshKeyboardMapping(&event.xmapping);
            loadKeymap();
            continue;
        }
        XGenericEventCookie* cookie = &event.xcookie;
        if (event.type != GenericEvent || cookie->extension != m_opcode || !XGetEventData(m_display, cookie))
            continue;
        const auto* raw = static_cast<const XIRawEvent*>(cookie->data);
        const bool repeat = raw->flags & XIKeyRepeat;
        const int type = cookie->evtype;
        const int code = raw->detail;
        XFreeEventData(m_display, cookie);
        if (!repeat && (type == XI_RawKeyPress || type == XI_RawKeyRelease)) {
            const QPointer<X11KeySource> self(this);
            rawKey(type == XI_RawKeyPress, code);
            if (!self || !m_display) // the consumer stopped us
                return;
        }
    }
    if (m_display && m_lost)
        connectionLost();
}

void X11KeySource::rawKey(bool press, int xKeyCode)
{
    const int code = m_keyCodes.value(xKeyCode, keycode::otherKeyBase + xKeyCode);
    const quint64 bit = deviceBit(code);
    if (bit) {
        // One event per real change: a modifier already down (or never seen going down) is noise.
        if (press == m_held.contains(xKeyCode))
            return;
        if (press)
            m_held.insert(xKeyCode, bit);
        else
            m_held.remove(xKeyCode);
    } else if (!press) {
        return;
    }
    quint64 held = 0; // the twin key may still hold the same bit
    for (quint64 heldBit : std::as_const(m_held))
        held |= heldBit;
    if (onEvent)
        onEvent(KeyEvent{bit ? KeyEvent::flagsChanged : KeyEvent::keyDown, code, withFamilies(held)});
}

void X11KeySource::connectionLost()
{
    stop();
    if (onEvent)
        onEvent(KeyEvent{KeyEvent::disabled, 0, 0});
}

} // namespace kestrabo
