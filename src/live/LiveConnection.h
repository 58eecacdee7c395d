#pragma once

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUrl>
#include <QUuid>

#include <deque>
#include <functional>
#include <optional>

#include <QWebSocket>

namespace kestrabo {

// Counters of the voice connection, shown as one line in the island.
struct LiveDiagnostics {
    bool sessionStarted = false;
    qint64 inputChunks = 0;
    qint64 inputBytes = 0;
    qint64 outputChunks = 0;
    qint64 outputBytes = 0;
    QString lastEventType = QStringLiteral("Not connected");

    friend bool operator==(const LiveDiagnostics&, const LiveDiagnostics&) = default;
};

// The one WebSocket to the realtime voice service. Sends leave strictly in order, one at a
// time; a send is complete once as many bytes as its frames hold have been written to the
// operating system (after encryption, under TLS), so a peer that stops reading turns into a
// bounded queue and one clear failure instead of growing memory.
class LiveConnection : public QObject {
    Q_OBJECT
public:
    struct Timing {
        int startTimeoutMs = 20'000;
        int closeTimeoutMs = 8'000;
        int diagnosticsIntervalMs = 1'000;
    };

    static constexpr qsizetype maxIncomingMessageBytes = 8'388'608;
    static constexpr int maxQueuedMessages = 256;
    static constexpr int maxQueuedAudio = 120;
    static constexpr qint64 maxQueuedAudioBytes = 240'000;

    explicit LiveConnection(QObject* parent = nullptr);
    ~LiveConnection() override;

    std::function<void(const QJsonObject&)> onEvent;
    std::function<void(const QString&)> onFailure;
    std::function<void(const LiveDiagnostics&)> onDiagnostics;

    // Tests point the connection at a stand-in and shorten the timers.
    void setEndpoint(const QUrl& endpoint) { m_endpoint = endpoint; }
    void setTiming(const Timing& timing) { m_timing = timing; }

    // A new attempt: tears down the last one first.
    void open(const QString& key);
    void audio(const QByteArray& data);
    void enqueue(const QJsonObject& event, qint64 audioBytes = 0);
    void close();
    // Hard end without a message to the server; nothing of the ended attempt reaches the owner.
    void teardown();
    void publishDiagnostics(bool force);

    const LiveDiagnostics& diagnostics() const { return m_diagnostics; }
    bool isReady() const { return m_ready; }
    bool isClosing() const { return m_closing; }
    bool isConnected() const { return m_socket != nullptr; }
    int queuedMessages() const { return m_queuedMessages; }
    int queuedAudio() const { return m_queuedAudio; }
    qint64 queuedAudioBytes() const { return m_queuedAudioBytes; }
    qsizetype pendingPCMBytes() const { return m_pendingPCMByte.size(); }

private:
    // The fuzz harness feeds received messages without a socket.
    friend struct LiveConnectionProbe;

    struct Outgoing {
        QString text;
        qint64 audioBytes = 0;
    };

    void fail(const QString& message);
    void receive(const QByteArray& message, const QUuid& generation);
    void pump();
    void completeSend();
    qint64 wireBytes(qint64 payloadBytes) const;

    QUrl m_endpoint;
    Timing m_timing;
    LiveDiagnostics m_diagnostics;
    QElapsedTimer m_lastDiagnosticUpdate;
    QPointer<QWebSocket> m_socket;
    QTimer m_startTimeout;
    QTimer m_closeTimeout;
    std::deque<Outgoing> m_outgoing;
    std::optional<Outgoing> m_inFlight;
    qint64 m_inFlightUnwritten = 0; // bytes of the in-flight message's frames not yet written
    QUuid m_generation;
    bool m_ready = false;
    bool m_closing = false;
    int m_queuedAudio = 0;
    qint64 m_queuedAudioBytes = 0;
    QByteArray m_pendingPCMByte;
    int m_queuedMessages = 0;
};

} // namespace kestrabo
