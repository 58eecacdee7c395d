#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QMutex>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

class QThread;

// A stand-in for the realtime voice service: a WebSocket server on 127.0.0.1 that answers
// the session's events from a small JSON scenario and records every client event.
//
// The server runs on a thread of its own, so a test's main thread can block or spin as it
// likes, and so that a stall really stops the server from reading: the kernel buffers fill
// and the client meets genuine backpressure. Every member may be called from any thread but
// the server's own.
namespace kestrabo::sim {

struct Scenario;

struct ReceivedEvent {
    int connection = 0;       // 1 for the first accepted connection, 2 for the next, …
    QByteArray authorization; // the handshake's Authorization header, as sent
    QJsonObject event;        // a message that is not a JSON object is kept as
                              // {"invalid": true, "bytes": N, "text": first 200 characters}
};

class LiveSim {
public:
    // `scenarioDirectory` resolves relative audio paths. An unusable scenario makes start()
    // fail, with the reason in errorString().
    explicit LiveSim(QJsonObject scenario = {}, QString scenarioDirectory = {});
    ~LiveSim();
    LiveSim(const LiveSim&) = delete;
    LiveSim& operator=(const LiveSim&) = delete;

    // Reads and checks a scenario file, audio included. Nothing, with the reason, on failure.
    static std::optional<QJsonObject> loadScenario(const QString& path, QString* error);
    // The reason a scenario cannot be used, or an empty string.
    static QString validateScenario(const QJsonObject& scenario, const QString& scenarioDirectory);

    // Serves wss:// with this certificate and private key (PEM files); call before start().
    bool useTls(const QString& certificatePath, const QString& keyPath, QString* error = nullptr);

    quint16 start(quint16 port = 0); // the port, 0 on failure
    void stop();
    QString errorString() const;

    // Appends each received event as one JSON line
    // {"connection":N,"authorization":"…","event":{…}}; an empty path stops recording.
    bool setRecordFile(const QString& path, QString* error = nullptr);

    quint16 port() const;
    QUrl baseUrl() const;  // http://127.0.0.1:PORT/v1 (https with TLS)
    QUrl endpoint() const; // ws://127.0.0.1:PORT/v1/live/sessions (wss with TLS)

    // Memory stays bounded however long a conversation runs: only the newest keptEvents events
    // are held (the record file gets all of them), and audio appends are also counted.
    static constexpr qsizetype keptEvents = 4096;
    QList<ReceivedEvent> received() const;
    QList<QJsonObject> received(const QString& type) const;
    qint64 audioAppends() const;
    int connectionCount() const;
    int openConnections() const;

    // To the newest open connection; dropped when there is none. They return at once; while
    // stalled, they take effect when the server resumes.
    void send(const QJsonObject& event);
    void sendText(const QString& text);
    void sendBinary(const QByteArray& data);
    void closeConnections(int code = 1000);

    // Stalling returns once the server has stopped servicing its sockets; it stays so until
    // resumed or stopped.
    void setStalled(bool stalled);

private:
    struct Shared;
    class Server;

    void post(std::function<void(Server&)> action);
    void enterStall();

    std::shared_ptr<Shared> m_shared;
    std::shared_ptr<const Scenario> m_scenario; // absent when unusable
    mutable QMutex m_control; // start, stop and posting to the server
    QThread* m_thread = nullptr;
    Server* m_server = nullptr;
};

} // namespace kestrabo::sim
