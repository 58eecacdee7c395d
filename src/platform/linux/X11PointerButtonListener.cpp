#include "platform/PointerButtonListener.h"

#include <QSocketNotifier>

#include "platform/linux/XlibConnection.h"

#include <X11/extensions/XInput2.h>

namespace kestrabo {

namespace {

// XInput2 raw button presses on the root window, read on a connection of our own whenever its
// socket turns readable. Raw events reach every client that asks, so nothing is grabbed.
class X11PointerButtonListener final : public PointerButtonListener {
public:
    X11PointerButtonListener() : m_display(xlib::openDisplay(QByteArray(), &m_lost))
    {
        int event = 0, error = 0;
        // 2.2: raw events reach the root window even while another client grabs the pointer.
        int major = 2, minor = 2;
        if (!m_display || !XQueryExtension(m_display, "XInputExtension", &m_opcode, &event, &error)
            || XIQueryVersion(m_display, &major, &minor) != Success) {
            xlib::closeDisplay(std::exchange(m_display, nullptr));
            return;
        }
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
        xlib::closeDisplay(m_display);
    }

    bool isOpen() const { return m_display; }

private:
    void drain()
    {
        // A dead connection's socket stays readable.
        if (m_lost) {
            m_notifier->setEnabled(false);
            return;
        }
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

    std::atomic<bool> m_lost{false};
    Display* m_display;
    int m_opcode = 0;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

} // namespace

std::unique_ptr<PointerButtonListener> makePointerButtonListener()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        return nullptr;
    auto listener = std::make_unique<X11PointerButtonListener>();
    return listener->isOpen() ? std::move(listener) : nullptr;
}

} // namespace kestrabo
