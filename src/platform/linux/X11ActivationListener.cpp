#include "platform/ActivationListener.h"

#include <QSocketNotifier>

#include <unistd.h>

#include "platform/linux/XlibConnection.h"

#include <X11/Xatom.h>

namespace kestrabo {

namespace {

// Follows the window manager's _NET_ACTIVE_WINDOW on the root window, on a connection of our
// own read whenever its socket turns readable.
class X11ActivationListener final : public ActivationListener {
public:
    X11ActivationListener() : m_display(xlib::openDisplay(QByteArray(), &m_lost))
    {
        if (!m_display)
            return;
        m_activeWindow = XInternAtom(m_display, "_NET_ACTIVE_WINDOW", False);
        m_pid = XInternAtom(m_display, "_NET_WM_PID", False);
        XSelectInput(m_display, DefaultRootWindow(m_display), PropertyChangeMask);
        XFlush(m_display);
        m_notifier = std::make_unique<QSocketNotifier>(ConnectionNumber(m_display), QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, m_notifier.get(), [this] { drain(); });
    }

    ~X11ActivationListener() override
    {
        m_notifier.reset();
        xlib::closeDisplay(m_display);
    }

    bool isOpen() const { return m_display; }

private:
    unsigned long read(Window window, Atom property, Atom type)
    {
        Atom actual;
        int format;
        unsigned long count = 0, after;
        unsigned char* data = nullptr;
        unsigned long value = 0;
        if (XGetWindowProperty(m_display, window, property, 0, 1, False, type, &actual, &format, &count, &after,
                               &data) == Success && data && format == 32 && count == 1)
            value = *reinterpret_cast<unsigned long*>(data);
        if (data)
            XFree(data);
        return value;
    }

    void drain()
    {
        // A dead connection's socket stays readable.
        if (m_lost) {
            m_notifier->setEnabled(false);
            return;
        }
        // Reading the properties can pull later events into Xlib's queue, where the socket no
        // longer shows them: go round until the queue stays empty.
        for (bool changed = true; changed && !m_lost;) {
            changed = false;
            while (XPending(m_display) > 0) {
                XEvent event;
                XNextEvent(m_display, &event);
                changed |= event.type == PropertyNotify && event.xproperty.atom == m_activeWindow;
            }
            if (!changed)
                return;
            const Window active = read(DefaultRootWindow(m_display), m_activeWindow, XA_WINDOW);
            if (active != None && read(active, m_pid, XA_CARDINAL) != static_cast<unsigned long>(getpid())
                && onOtherApplicationActivated)
                onOtherApplicationActivated();
        }
    }

    std::atomic<bool> m_lost{false};
    Display* m_display;
    Atom m_activeWindow = None;
    Atom m_pid = None;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

} // namespace

std::unique_ptr<ActivationListener> makeActivationListener()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        return nullptr;
    auto listener = std::make_unique<X11ActivationListener>();
    return listener->isOpen() ? std::move(listener) : nullptr;
}

} // namespace kestrabo
