#include "FakeInput.h"

#include "platform/linux/XlibConnection.h"
#include <X11/extensions/XTest.h>

namespace kestrabo::test {

FakeInput::FakeInput(const QByteArray& display)
    : m_display(xlib::openDisplay(display, &m_lost))
{
}

FakeInput::~FakeInput()
{
    xlib::closeDisplay(m_display);
}

void FakeInput::key(const char* name, bool press)
{
    const KeyCode code = XKeysymToKeycode(m_display, XStringToKeysym(name));
    XTestFakeKeyEvent(m_display, code, press ? True : False, CurrentTime);
    XSync(m_display, False);
}

void FakeInput::press(const char* name) { key(name, true); }

void FakeInput::release(const char* name) { key(name, false); }

void FakeInput::moveTo(QPoint position, unsigned long delayMs)
{
    XTestFakeMotionEvent(m_display, -1, position.x(), position.y(), delayMs);
    XSync(m_display, False);
}

void FakeInput::button(bool press, unsigned number)
{
    XTestFakeButtonEvent(m_display, number, press ? True : False, CurrentTime);
    XSync(m_display, False);
}

quint64 FakeInput::focusedWindow(const QRect& rect)
{
    m_window = XCreateSimpleWindow(m_display, DefaultRootWindow(m_display), rect.x(), rect.y(), unsigned(rect.width()),
                                   unsigned(rect.height()), 0, 0, 0xffffff);
    XSelectInput(m_display, m_window, KeyPressMask | ExposureMask);
    XMapRaised(m_display, m_window);
    XSync(m_display, False);
    XSetInputFocus(m_display, m_window, RevertToParent, CurrentTime);
    XSync(m_display, False);
    return m_window;
}

int FakeInput::keyPressesReceived()
{
    XSync(m_display, False);
    while (XPending(m_display) > 0) {
        XEvent event;
        XNextEvent(m_display, &event);
        if (event.type == KeyPress && event.xkey.window == m_window)
            ++m_keyPresses;
    }
    return m_keyPresses;
}

quint64 FakeInput::inputFocus()
{
    Window focus = 0;
    int revert = 0;
    XGetInputFocus(m_display, &focus, &revert);
    return focus;
}

} // namespace kestrabo::test
