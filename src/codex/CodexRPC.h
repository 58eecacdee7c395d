#pragma once

#include "codex/CodexExecutable.h"
#include "core/Job.h"
#include "core/KestraboError.h"
#include "core/Result.h"

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QSocketNotifier>
#include <QStringList>

#include <functional>
#include <map>
#include <optional>



namespace kestrabo {

// One Codex child process and the JSON-RPC conversation with it: one JSON object per line on
// its standard input and output, at most 8,388,608 bytes per message either way. Everything
// runs on the main thread. Standard output is a pipe of our own, read in chunks of at most
// 65,536 bytes, one per event-loop turn and only after the previous chunk has been handled,
// so a flood from the child waits in the pipe (and blocks the child), never in this process.
// Standard input is a non-blocking pipe of our own too, so a child that stopped reading is
// seen at the write that fails, not by a later time-out. The child leads its own process
// group, and the whole group is signalled at close, so nothing Codex started outlives it.
class CodexRPC : public QObject {
    Q_OBJECT
public:
    static constexpr qsizetype maxMessageBytes = 8'388'608;
    static constexpr qsizetype readChunkBytes = 65'536;
    static constexpr int defaultKillDelayMs = 1'000;
    // Bytes the child may leave unread on its standard input before the channel gives up.
    static constexpr qsizetype maxQueuedBytes = 2 * (maxMessageBytes + 1);

    using Completion = std::function<void(Result<QJsonObject>)>;

    // Configures the child; nothing starts before `launch()`.
    CodexRPC(QString executable, QStringList arguments, Environment environment, QString workingDirectory,
             QObject* parent = nullptr);
    ~CodexRPC() override;

    // Notifications and server requests, in arrival order. The handlers may close the channel
    // but must not delete it (use deleteLater()).
    std::function<void(const QJsonObject&)> onMessage;
    // Once, when the channel closes because of an error.
    std::function<void(const KestraboError&)> onFailure;

    // "s:" + a string id, "n:" + a number's decimal text; nothing for any other value.
    static std::optional<QString> idKey(const QJsonValue& id);
    // Control and format characters become spaces, the ends are trimmed, the first 1,000
    // characters are kept; nothing when no text remains.
    static std::optional<QString> cleanError(const std::optional<QString>& message);

    // Starts the child without waiting for it: a child that cannot be started closes the
    // channel later with the launch sentence, which fails every request made meanwhile.
    Status launch();

    // Sends a request; `done` runs exactly once, always in a later event-loop turn, with the
    // response's result or the first failure: an error response, the timeout (which fails only
    // this request), cancellation of `job`, a failed write or the channel's close.
    void request(const QString& method, const QJsonObject& params, int timeoutMs, Completion done,
                 Job job = {});
    void respond(const QJsonValue& id, const QJsonObject& result);
    void reject(const QJsonValue& id);
    // A write that fails closes the channel with that failure before returning it.
    Status write(const QJsonObject& message);

    // Closes once: pending requests fail with `error` (or a cancellation), the child gets
    // SIGTERM and, if still running after the kill delay, SIGKILL. `onFailure` runs only
    // with an error.
    void close(std::optional<KestraboError> error = std::nullopt);

    void setKillDelay(int milliseconds) { m_killDelayMs = milliseconds; }
    // Process groups that got SIGTERM and still wait for their SIGKILL; the application must
    // keep its event loop running until this is zero.
    static int pendingKills() { return s_pendingKills; }
    bool isClosed() const { return m_closed; }
    bool isRunning() const;
    // The child's process group (its own id); 0 before launch or when it could not start.
    qint64 processGroup() const { return m_group; }
    qsizetype queuedBytes() const { return m_outgoing.size() - m_outgoingSent; }
    qsizetype pendingCount() const { return static_cast<qsizetype>(m_pending.size()); }
    qsizetype bufferedBytes() const { return m_buffer.size(); }
    // The child process, for observers (tests, diagnostics); it may outlive a closed channel
    // until it has exited.
    QProcess* process() const { return m_process; }

private:
    // The fuzz harness feeds the child's output without a child.
    friend struct CodexRPCProbe;

    struct Pending {
        Completion done;
        Job timer;
    };

    void readOutput();
    void flushInput();
    void childExited();
    void closeOutput();
    void closeInput();
    void signalGroup();
    bool isAlive() const;
    void receive(QByteArrayView chunk);
    bool handleLine(QByteArrayView line);
    void settle(const QString& key, Result<QJsonObject> result);

    QPointer<QProcess> m_process;
    int m_output = -1;
    QPointer<QSocketNotifier> m_outputNotifier;
    int m_input = -1;
    QPointer<QSocketNotifier> m_inputNotifier;
    QByteArray m_outgoing;
    qsizetype m_outgoingSent = 0;
    qint64 m_group = 0;
    QByteArray m_buffer;
    qsizetype m_scanned = 0;
    QByteArray m_chunk;
    std::map<QString, Pending> m_pending;
    qint64 m_nextID = 0;
    bool m_closed = false;
    bool m_launched = false;
    bool m_dispatching = false;
    bool m_exited = false;
    std::optional<QString> m_endMessage;
    std::optional<QString> m_closedWith;
    int m_killDelayMs = defaultKillDelayMs;
    static inline int s_pendingKills = 0;
};

} // namespace kestrabo
