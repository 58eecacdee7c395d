#pragma once

#include <QByteArray>
#include <QImage>
#include <QProcess>
#include <QRect>

struct _XDisplay;

// Real X11 for the screen tests and benchmarks: an Xvfb server of our own and plain windows on
// it, made through Xlib directly so every window's owner and colour is known exactly. (Qt
// itself stays on the offscreen platform.)
namespace kestrabo::test {

// Xvfb on a display number it picks itself; stopped by its PID.
class Xvfb {
public:
    ~Xvfb() { stop(); }
    // Empty on success, else what went wrong.
    QString start(QSize size = QSize(2880, 1800), bool composite = true);
    void stop();
    const QByteArray& display() const { return m_display; }

private:
    QProcess m_process;
    QByteArray m_display;
};

// Windows of one colour on a connection of their own; `ours` marks a window with this process's
// id in _NET_WM_PID, as toolkit windows are.
class XWindows {
public:
    explicit XWindows(const QByteArray& display);
    ~XWindows();
    Q_DISABLE_COPY(XWindows)
    bool isOpen() const { return m_display != nullptr; }
    quint64 create(const QRect& rect, QRgb colour, bool ours);
    // Marked with another process's id instead (our parent's), as another program's window is.
    quint64 createForeign(const QRect& rect, QRgb colour);
    void paint(quint64 window, const QImage& image);
    void warpPointer(QPoint position);
    void sync();
    // A RandR monitor of that name over part of the screen (beside the server's own outputs).
    void addMonitor(const QByteArray& name, const QRect& rect);
    // Whether some client keeps the window redirected through Composite.
    bool isRedirected(quint64 window);

private:
    _XDisplay* m_display;
};

} // namespace kestrabo::test
