#pragma once

#include <QMetaObject>
#include <QString>
#include <QThread>

// The stand-ins serve from a thread of their own, so that a test can block or spin its main
// thread while they answer. `Server` is a QObject with `bool listen(quint16)` and `shutdown()`.
namespace kestrabo::sim {

// Moves `server` onto a new thread and has it listen there; false when it cannot listen (the
// thread is running all the same and must be stopped).
template <class Server>
bool startServerThread(QThread*& thread, Server* server, const QString& name, quint16 port)
{
    thread = new QThread;
    thread->setObjectName(name);
    server->moveToThread(thread);
    thread->start();
    bool listening = false;
    QMetaObject::invokeMethod(server, [server, port, &listening] { listening = server->listen(port); },
                              Qt::BlockingQueuedConnection);
    return listening;
}

// Shuts the server down on its thread, then ends and frees the thread.
template <class Server>
void stopServerThread(QThread*& thread, Server*& server)
{
    Server* serving = server;
    QMetaObject::invokeMethod(serving, [serving] {
        serving->shutdown();
        serving->deleteLater();
    }, Qt::BlockingQueuedConnection);
    thread->quit();
    thread->wait();
    delete thread;
    thread = nullptr;
    server = nullptr;
}

} // namespace kestrabo::sim
