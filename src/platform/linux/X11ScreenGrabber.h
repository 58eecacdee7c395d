#pragma once

#include "platform/ScreenGrabber.h"

#include <QByteArray>
#include <QObject>
#include <QThread>

#include <atomic>

#include <functional>
#include <memory>

namespace kestrabo {

// Screen capture from an X11 display. The display is read at full pixel resolution through
// one connection of its own on a worker thread. Only while a capture has our windows to leave
// out are the top-level windows redirected (XComposite), so that the windows under ours can be
// read from their own storage; a desktop without a compositor is left as it was otherwise.
// This process's windows are left out; the pointer is never part of what X hands out.
// Under a Wayland session X sees only X clients' windows, so nothing is captured there.
class X11ScreenGrabber final : public QObject, public ScreenGrabber {
public:
    // An empty name means $DISPLAY.
    explicit X11ScreenGrabber(const QByteArray& displayName = {}, QObject* parent = nullptr);
    ~X11ScreenGrabber() override;

    // Ids of this process's top-level windows, read on the main thread at every capture; by
    // default the toolkit's own windows when it runs on X. Windows that carry our process id
    // in _NET_WM_PID are recognised without it.
    std::function<QList<quint64>()> ownWindows;

    // Answered from what the worker's connection last found, never by a new connection on the
    // calling thread; each call has the worker look again for the next one. Only the very first
    // answer may wait (briefly) for the worker's first look.
    bool preflight() override;
    std::optional<KestraboError> unsupported() const override;
    void shareableDisplays(std::function<void(Result<QList<ShareableDisplay>>)> done) override;
    void capture(const QString& identifier, QSize pixelSize, std::function<void(Result<QImage>)> done) override;

    // Whether the last whole-display read went through shared memory (diagnostics, benchmark).
    bool lastReadUsedSharedMemory() const;
    // Whether the top-level windows are redirected through Composite right now (diagnostics).
    bool isRedirecting() const;
    // Attaches shared memory read-only, so the server refuses to write into it with BadAccess
    // as a server without access to our segments does (tests).
    void refuseSharedMemoryWrites();

private:
    struct Connection;
    void onWorker(std::function<void(Connection&)> work);
    void look();

    QByteArray m_displayName;
    QThread m_thread;
    QObject* m_worker = nullptr;
    std::unique_ptr<Connection> m_connection;
    std::atomic<bool> m_looking{false};
};

} // namespace kestrabo
