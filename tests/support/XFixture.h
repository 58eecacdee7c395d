#pragma once

#include <QByteArray>
#include <QImage>
#include <QProcess>
#include <QRect>
#include <QSize>

#include <memory>

// Real X11 for the screen tests and the capture benchmark: an Xvfb server of our own and plain
// windows on it. The Qt side of the tests stays on the offscreen platform; these helpers talk
// to Xvfb through Xlib directly, so every window's owner and colour is known exactly.
namespace kestrabo::test {

// Xvfb with Composite on a display number it picks itself; stopped by its PID.
class Xvfb {
public:
    Xvfb() = default;
    ~Xvfb() { stop(); }
    Xvfb(const Xvfb&) = delete;
    Xvfb& operator=(const Xvfb&) = delete;

    // Empty on success, else what went wrong.
    QString start(QSize size = QSize(2880, 1800), bool composite = true);
    void stop();
    const QByteArray& display() const { return m_display; }

private:
    QProcess m_process;
    QByteArray m_display;
};

// Windows filled with one colour (or an image), on a connection of their own. With `ours`
// a window carries this process's id in _NET_WM_PID, as toolkit windows do.
class XWindows {
public:
    explicit XWindows(const QByteArray& display);
    ~XWindows();
    XWindows(const XWindows&) = delete;
    XWindows& operator=(const XWindows&) = delete;

    bool isOpen() const;
    quint64 create(const QRect& rect, QRgb colour, bool ours);
    void paint(quint64 window, const QImage& image);
    void warpPointer(QPoint position);
    void sync();

private:
    struct State;
    std::unique_ptr<State> m_state;
};

// A window of another process: this executable started again as a tiny X client that shows
// one colour until it is stopped by its PID.
class ForeignWindow {
public:
    ~ForeignWindow() { stop(); }
    bool start(const QByteArray& display, const QRect& rect, QRgb colour);
    void stop();

private:
    QProcess m_process;
};

} // namespace kestrabo::test
