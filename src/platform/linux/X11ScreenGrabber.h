#pragma once

#include "platform/ScreenGrabber.h"

#include <QByteArray>
#include <QObject>
#include <QThread>

#include <functional>
#include <memory>

namespace kestrabo {

// Screen capture from an X11 display. The display is read at full pixel resolution through
// one connection of its own on a worker thread, which keeps the top-level windows redirected
// (XComposite) so that every window's contents stay readable even where our panel covers it.
// This process's windows are left out; the pointer is never part of what X hands out.
class X11ScreenGrabber final : public QObject, public ScreenGrabber {
public:
    // An empty name means $DISPLAY.
    explicit X11ScreenGrabber(const QByteArray& displayName = {}, QObject* parent = nullptr);
    ~X11ScreenGrabber() override;

    // Ids of this process's top-level windows, read on the main thread at every capture; by
    // default the toolkit's own windows when it runs on X. Windows that carry our process id
    // in _NET_WM_PID are recognised without it.
    std::function<QList<quint64>()> ownWindows;

    bool preflight() override;
    void shareableDisplays(std::function<void(Result<QList<ShareableDisplay>>)> done) override;
    void capture(const QString& identifier, QSize pixelSize, std::function<void(Result<QImage>)> done) override;

    // Whether the last whole-display read went through shared memory (diagnostics, benchmark).
    bool lastReadUsedSharedMemory() const;

private:
    struct Connection;
    void onWorker(std::function<void(Connection&)> work);

    QByteArray m_displayName;
    QThread m_thread;
    QObject* m_worker = nullptr;
    std::unique_ptr<Connection> m_connection;
};

} // namespace kestrabo
