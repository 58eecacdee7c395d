#include "support/XFixture.h"

#include "support/TestSupport.h"

#include <QDeadlineTimer>

#include <unistd.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xcomposite.h>
#include <X11/extensions/Xrandr.h>

namespace kestrabo::test {

namespace {

Window createWindow(Display* display, const QRect& rect, QRgb colour, long pid)
{
    XSetWindowAttributes attributes{};
    attributes.background_pixel = colour & 0xffffff;
    const Window window = XCreateWindow(display, DefaultRootWindow(display), rect.x(), rect.y(), unsigned(rect.width()),
                                        unsigned(rect.height()), 0, CopyFromParent, InputOutput, CopyFromParent,
                                        CWBackPixel | CWBorderPixel, &attributes);
    if (pid)
        XChangeProperty(display, window, XInternAtom(display, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(&pid), 1);
    XMapRaised(display, window); // without a window manager the requested position holds
    XSync(display, False);
    return window;
}

bool waitForLine(QProcess& process, int timeoutMs)
{
    for (QDeadlineTimer deadline(timeoutMs); !process.canReadLine(); process.waitForReadyRead(50))
        if (deadline.hasExpired() || process.state() == QProcess::NotRunning)
            return false;
    return true;
}

} // namespace

QString Xvfb::start(QSize size, bool composite)
{
    // -displayfd 1: Xvfb picks a free display number and writes it to our pipe when ready.
    m_process.setStandardErrorFile(QProcess::nullDevice());
    m_process.start(QStringLiteral("Xvfb"), QStringLiteral("-displayfd 1 -screen 0 %1x%2x24 %3extension Composite "
                                                           "-nolisten tcp -noreset")
                                                .arg(size.width())
                                                .arg(size.height())
                                                .arg(QLatin1Char(composite ? '+' : '-'))
                                                .split(QLatin1Char(' ')));
    if (!m_process.waitForStarted(5'000))
        return QStringLiteral("Xvfb did not start: ") + m_process.errorString();
    if (!waitForLine(m_process, 15'000)) {
        stop();
        return QStringLiteral("Xvfb reported no display number");
    }
    m_display = ':' + m_process.readLine().trimmed();
    return QString();
}

void Xvfb::stop() { stopProcess(m_process); }

XWindows::XWindows(const QByteArray& display) : m_display(XOpenDisplay(display.constData())) {}

XWindows::~XWindows()
{
    if (m_display)
        XCloseDisplay(m_display);
}

quint64 XWindows::create(const QRect& rect, QRgb colour, bool ours)
{
    return createWindow(m_display, rect, colour, ours ? long(getpid()) : 0);
}

quint64 XWindows::createForeign(const QRect& rect, QRgb colour)
{
    return createWindow(m_display, rect, colour, long(getppid()));
}

void XWindows::paint(quint64 window, const QImage& source)
{
    QImage image = source.convertToFormat(QImage::Format_RGB32);
    XImage* ximage = XCreateImage(m_display, DefaultVisual(m_display, DefaultScreen(m_display)), 24, ZPixmap, 0,
                                  reinterpret_cast<char*>(image.bits()), unsigned(image.width()),
                                  unsigned(image.height()), 32, int(image.bytesPerLine()));
    // Bands keep each request under the server's size limit.
    const GC gc = XCreateGC(m_display, window, 0, nullptr);
    for (int y = 0; y < image.height(); y += 64)
        XPutImage(m_display, window, gc, ximage, 0, y, 0, y, unsigned(image.width()),
                  unsigned(std::min(64, image.height() - y)));
    XFreeGC(m_display, gc);
    ximage->data = nullptr; // the image's bits are Qt's
    XDestroyImage(ximage);
    XSync(m_display, False);
}

void XWindows::warpPointer(QPoint position)
{
    XWarpPointer(m_display, 0, DefaultRootWindow(m_display), 0, 0, 0, 0, position.x(), position.y());
    XSync(m_display, False);
}

void XWindows::sync() { XSync(m_display, False); }

void XWindows::addMonitor(const QByteArray& name, const QRect& rect)
{
    XRRMonitorInfo* monitor = XRRAllocateMonitor(m_display, 0);
    monitor->name = XInternAtom(m_display, name.constData(), False);
    monitor->x = rect.x();
    monitor->y = rect.y();
    monitor->width = rect.width();
    monitor->height = rect.height();
    monitor->mwidth = rect.width() / 4;
    monitor->mheight = rect.height() / 4;
    XRRSetMonitor(m_display, DefaultRootWindow(m_display), monitor);
    XRRFreeMonitors(monitor);
    XSync(m_display, False);
}

namespace {
int g_namingError = 0;
int recordNamingError(Display*, XErrorEvent* event)
{
    g_namingError = event->error_code;
    return 0;
}
} // namespace

// Naming a window's pixmap succeeds only while some client redirects the window. The error
// handler is swapped for the moment of the check only.
bool XWindows::isRedirected(quint64 window)
{
    XSync(m_display, False);
    const XErrorHandler previous = XSetErrorHandler(recordNamingError);
    g_namingError = 0;
    const Pixmap pixmap = XCompositeNameWindowPixmap(m_display, window);
    XSync(m_display, False);
    const bool named = g_namingError == 0;
    if (named)
        XFreePixmap(m_display, pixmap);
    XSync(m_display, False);
    XSetErrorHandler(previous);
    return named;
}

} // namespace kestrabo::test
