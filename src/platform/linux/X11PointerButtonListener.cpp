#include "platform/PointerButtonListener.h"

#include <QSocketNotifier>

#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>

namespace kestrabo {

namespace {

// XInput2 raw button presses on the root window, read on a connection of our own whenever its
// socket turns readable. Raw events reach every client that asks, so nothing is grabbed.
class X11PointerButtonListener final : public PointerButtonListener {
public:
    explicit X11PointerButtonListener(Display* display, int opcode) : m_display(display), m_opcode(opcode)
    {
        unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
        XISetMask(bits, XI_RawButtonPress);
        XIEventMask mask{XIAllMasterDevices, int(sizeof bits), bits};
        XISelectEvents(m_display, DefaultRootWindow(m_display), &mask, 1);
        XFlush(m_display);
        m_notifier = std::make_unique<QSocketNotifier>(ConnectionNumber(m_display), QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, m_notifier.get(), [this] { drain(); });
    }

    ~X11PointerButtonListener() override
    {
        m_notifier.reset();
        XCloseDisplay(m_display);
    }

private:
    void drain()
    {
        int presses = 0;
        while (XPending(m_display) > 0) {
            XEvent event;
            XNextEvent(m_display, &event);
            XGenericEventCookie* cookie = &event.xcookie;
            if (cookie->type != GenericEvent || cookie->extension != m_opcode || !XGetEventData(m_display, cookie))
                continue;
            if (cookie->evtype == XI_RawButtonPress) {
                const int button = static_cast<XIRawEvent*>(cookie->data)->detail;
                // 4 to 7 are wheel steps, not clicks.
                if (button < 4 || button > 7)
                    ++presses;
            }
            XFreeEventData(m_display, cookie);
        }
        if (presses > 0 && onPress)
            onPress();
    }

    Display* m_display;
    int m_opcode;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

} // namespace

std::unique_ptr<PointerButtonListener> makePointerButtonListener()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        return nullptr;
    Display* display = XOpenDisplay(nullptr);
    if (!display)
        return nullptr;
    int opcode = 0, event = 0, error = 0;
    // 2.2: raw events reach the root window even while another client grabs the pointer.
    int major = 2, minor = 2;
    if (!XQueryExtension(display, "XInputExtension", &opcode, &event, &error)
        || XIQueryVersion(display, &major, &minor) != Success) {
        XCloseDisplay(display);
        return nullptr;
    }
    return std::make_unique<X11PointerButtonListener>(display, opcode);
}

} // namespace kestrabo
