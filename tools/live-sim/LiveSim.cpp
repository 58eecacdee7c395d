#include "LiveSim.h"
#include "sim-common/ServerThread.h"

#include "Scenario.h"
#include "core/Json.h"

#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QJsonArray>
#include <QPointer>
#include <QSet>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QThread>
#include <QTimer>
#include <QWaitCondition>
#include <QWebSocket>
#include <QWebSocketServer>

#include <map>

namespace kestrabo::sim {

namespace {

const QString kPath = QStringLiteral("/v1/live/sessions");
constexpr int kCloseGraceMs = 2'000;
constexpr qsizetype kInvalidTextChars = 200;

QJsonObject typed(const char* type)
{
    return QJsonObject{{QStringLiteral("type"), QString::fromLatin1(type)}};
}

} // namespace

// What the caller's threads and the server thread both touch, under `mutex`.
struct LiveSim::Shared {
    mutable QMutex mutex;
    QWaitCondition changed;
    QList<ReceivedEvent> received; // the newest keptEvents
    qint64 audioAppends = 0;
    std::unique_ptr<QFile> record;
    std::optional<QSslConfiguration> tls;
    QString error;
    quint16 port = 0;
    int accepted = 0;
    int open = 0;
    bool stalled = false;
    bool stallActive = false;
    bool stopping = false;
};

// Lives on the server thread; everything here runs there.
class LiveSim::Server : public QObject {
public:
    Server(std::shared_ptr<const Scenario> scenario, std::shared_ptr<Shared> shared)
        : m_scenario(std::move(scenario)), m_shared(std::move(shared))
    {
    }

    bool listen(quint16 port)
    {
        std::optional<QSslConfiguration> tls;
        {
            QMutexLocker lock(&m_shared->mutex);
            tls = m_shared->tls;
        }
        m_server = new QWebSocketServer(QStringLiteral("kestrabo-live-sim"),
                                        tls ? QWebSocketServer::SecureMode : QWebSocketServer::NonSecureMode, this);
        if (tls)
            m_server->setSslConfiguration(*tls);
        QObject::connect(m_server, &QWebSocketServer::newConnection, this, [this] { accept(); });
        const bool listening = m_server->listen(QHostAddress::LocalHost, port);
        QMutexLocker lock(&m_shared->mutex);
        if (!listening) {
            m_shared->error = QStringLiteral("Cannot listen on 127.0.0.1:%1: %2")
                                  .arg(port)
                                  .arg(m_server->errorString());
            return false;
        }
        m_shared->port = m_server->serverPort();
        return true;
    }

    void sendToNewest(const QByteArray& payload, bool binary)
    {
        for (auto it = m_connections.rbegin(); it != m_connections.rend(); ++it) {
            if (QWebSocket* socket = openSocket(it->first)) {
                transmit(socket, payload, binary);
                return;
            }
        }
    }

    void closeAll(int code)
    {
        QList<int> ids;
        for (const auto& entry : m_connections)
            ids.append(entry.first);
        for (int id : ids)
            closeConnection(id, code);
    }

    // Blocks the whole thread: no socket is read or written until resumed or stopped.
    void stallHere()
    {
        QMutexLocker lock(&m_shared->mutex);
        if (!m_shared->stalled || m_shared->stopping || m_shared->stallActive)
            return;
        // What the steps before the stall sent still leaves; writes are otherwise flushed
        // from the event loop, which is about to stop.
        lock.unlock();
        QList<QPointer<QWebSocket>> sockets; // a failing flush may end a connection
        for (const auto& entry : m_connections)
            sockets.append(entry.second.socket);
        for (const QPointer<QWebSocket>& socket : sockets)
            if (socket)
                socket->flush();
        lock.relock();
        if (!m_shared->stalled || m_shared->stopping)
            return;
        m_shared->stallActive = true;
        m_shared->changed.wakeAll();
        while (m_shared->stalled && !m_shared->stopping)
            m_shared->changed.wait(&m_shared->mutex);
        m_shared->stallActive = false;
        m_shared->changed.wakeAll();
    }

    void shutdown()
    {
        for (auto& [id, connection] : m_connections) {
            if (QWebSocket* socket = connection.socket) {
                socket->disconnect(this);
                if (!connection.closing)
                    socket->close(QWebSocketProtocol::CloseCodeGoingAway);
                socket->flush();
                socket->abort();
                delete socket;
            }
        }
        m_connections.clear();
        if (m_server)
            m_server->close();
        QMutexLocker lock(&m_shared->mutex);
        m_shared->open = 0;
    }

private:
    struct Connection {
        QPointer<QWebSocket> socket;
        QByteArray authorization;
        QSet<qsizetype> fired; // rules with "once" that already ran
        bool closing = false;
    };

    bool stopping() const
    {
        QMutexLocker lock(&m_shared->mutex);
        return m_shared->stopping;
    }

    QWebSocket* openSocket(int id) const
    {
        const auto it = m_connections.find(id);
        if (it == m_connections.end() || it->second.closing || !it->second.socket
            || it->second.socket->state() != QAbstractSocket::ConnectedState)
            return nullptr;
        return it->second.socket;
    }

    static void transmit(QWebSocket* socket, const QByteArray& payload, bool binary)
    {
        if (binary)
            socket->sendBinaryMessage(payload);
        else
            socket->sendTextMessage(QString::fromUtf8(payload));
    }

    // A peer that never answers the close handshake is cut off after a grace period.
    static void closeSocket(QWebSocket* socket, int code, const QString& reason = {})
    {
        QTimer::singleShot(kCloseGraceMs, socket, [socket] { socket->abort(); });
        socket->close(QWebSocketProtocol::CloseCode(code), reason);
    }

    void closeConnection(int id, int code)
    {
        QWebSocket* socket = openSocket(id);
        if (!socket)
            return;
        m_connections.at(id).closing = true;
        closeSocket(socket, code);
    }

    void accept()
    {
        while (QWebSocket* socket = m_server->nextPendingConnection()) {
            socket->setParent(this);
            if (socket->requestUrl().path() != kPath) {
                QObject::connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
                closeSocket(socket, QWebSocketProtocol::CloseCodePolicyViolated,
                            QStringLiteral("unknown path"));
                continue;
            }
            int id = 0;
            {
                QMutexLocker lock(&m_shared->mutex);
                id = ++m_shared->accepted;
                ++m_shared->open;
            }
            m_connections[id] = Connection{socket, socket->request().rawHeader("Authorization"), {}, false};
            QObject::connect(socket, &QWebSocket::textMessageReceived, this,
                             [this, id](const QString& text) { receive(id, text.toUtf8()); });
            QObject::connect(socket, &QWebSocket::binaryMessageReceived, this,
                             [this, id](const QByteArray& data) { receive(id, data); });
            QObject::connect(socket, &QWebSocket::disconnected, this, [this, id] { forget(id); });
            trigger(id, std::nullopt);
        }
    }

    void forget(int id)
    {
        const auto it = m_connections.find(id);
        if (it == m_connections.end())
            return;
        if (it->second.socket)
            it->second.socket->deleteLater();
        m_connections.erase(it);
        QMutexLocker lock(&m_shared->mutex);
        --m_shared->open;
    }

    void record(const ReceivedEvent& received)
    {
        QMutexLocker lock(&m_shared->mutex);
        if (json::type(received.event) == u"session.input_audio.append")
            ++m_shared->audioAppends;
        if (m_shared->received.size() >= keptEvents)
            m_shared->received.removeFirst();
        m_shared->received.append(received);
        if (m_shared->record) {
            const QJsonObject line{
                {QStringLiteral("connection"), received.connection},
                {QStringLiteral("authorization"), QString::fromUtf8(received.authorization)},
                {QStringLiteral("event"), received.event},
            };
            m_shared->record->write(json::compact(line) + '\n');
            m_shared->record->flush();
        }
    }

    void receive(int id, const QByteArray& message)
    {
        const auto it = m_connections.find(id);
        if (it == m_connections.end())
            return;
        const std::optional<QJsonValue> value = json::parse(message);
        if (!value || !value->isObject()) {
            record({id, it->second.authorization,
                    QJsonObject{{QStringLiteral("invalid"), true},
                                {QStringLiteral("bytes"), double(message.size())},
                                {QStringLiteral("text"),
                                 QString::fromUtf8(message.left(kInvalidTextChars * 4))
                                     .left(kInvalidTextChars)}}});
            return;
        }
        const QJsonObject event = value->toObject();
        record({id, it->second.authorization, event});

        const QString type = json::type(event);
        QWebSocket* socket = openSocket(id);
        if (socket && type == u"session.start" && m_scenario->sendStarted)
            transmit(socket, json::compact(typed("session.started")), false);
        if (socket && type == u"session.close" && m_scenario->closeReply) {
            QJsonObject closed = typed("session.closed");
            closed.insert(QStringLiteral("usage"),
                          QJsonObject{{QStringLiteral("seconds"), m_scenario->usageSeconds}});
            transmit(socket, json::compact(closed), false);
        }
        trigger(id, event);
    }

    // The steps of every matching rule, in rule order, run as one sequence.
    void trigger(int id, const std::optional<QJsonObject>& event)
    {
        const auto connection = m_connections.find(id);
        if (connection == m_connections.end())
            return;
        const QString type = event ? json::type(*event) : QString::fromLatin1(connectTrigger);
        const std::optional<QString> content = event ? json::string(*event, u"content") : std::nullopt;
        auto steps = std::make_shared<QList<Step>>();
        for (qsizetype i = 0; i < m_scenario->rules.size(); ++i) {
            const Rule& rule = m_scenario->rules.at(i);
            if (rule.on != type)
                continue;
            if (rule.contentContains && !(content && content->contains(*rule.contentContains)))
                continue;
            if (rule.once) {
                QSet<qsizetype>& fired = connection->second.fired;
                if (fired.contains(i))
                    continue;
                fired.insert(i);
            }
            steps->append(rule.steps);
        }
        if (!steps->isEmpty())
            run(id, steps, 0, 1);
    }

    // `pass` counts the times a looping sequence has started; it replaces "$n" in events.
    void run(int id, const std::shared_ptr<const QList<Step>>& steps, qsizetype index, int pass)
    {
        for (; index < steps->size(); ++index) {
            if (stopping())
                return;
            QWebSocket* socket = openSocket(id);
            if (!socket)
                return;
            const Step& step = steps->at(index);
            switch (step.kind) {
            case Step::Kind::Text:
            case Step::Kind::Binary:
                transmit(socket,
                         step.numbered ? QByteArray(step.payload).replace("$n", QByteArray::number(pass))
                                       : step.payload,
                         step.kind == Step::Kind::Binary);
                break;
            case Step::Kind::Delay:
                QTimer::singleShot(step.value, Qt::PreciseTimer, this,
                                   [this, id, steps, index, pass] { run(id, steps, index + 1, pass); });
                return;
            case Step::Kind::Close:
                closeConnection(id, step.value);
                return;
            case Step::Kind::Loop:
                // A loop always follows a delay (checked when loaded), so this never spins.
                index = -1;
                ++pass;
                break;
            case Step::Kind::Stall: {
                {
                    QMutexLocker lock(&m_shared->mutex);
                    m_shared->stalled = true;
                }
                stallHere();
                break;
            }
            }
        }
    }

    std::shared_ptr<const Scenario> m_scenario;
    std::shared_ptr<Shared> m_shared;
    QWebSocketServer* m_server = nullptr;
    std::map<int, Connection> m_connections; // by id, so the last open one is the newest
};

LiveSim::LiveSim(QJsonObject scenario, QString scenarioDirectory)
    : m_shared(std::make_shared<Shared>())
{
    Result<Scenario> compiled = compileScenario(scenario, scenarioDirectory);
    if (compiled)
        m_scenario = std::make_shared<const Scenario>(std::move(compiled).value());
    else
        m_shared->error = QStringLiteral("Invalid scenario: %1.").arg(compiled.error().description());
}

LiveSim::~LiveSim()
{
    stop();
}

std::optional<QJsonObject> LiveSim::loadScenario(const QString& path, QString* error)
{
    const auto fail = [&](const QString& text) -> std::optional<QJsonObject> {
        if (error)
            *error = QStringLiteral("Scenario %1: %2.").arg(path, text);
        return std::nullopt;
    };
    QFile file(path);
    if (!QFileInfo(path).isFile())
        return fail(QStringLiteral("no such file"));
    if (!file.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot be read (%1)").arg(file.errorString()));
    const std::optional<QJsonValue> value = json::parse(file.readAll());
    if (!value)
        return fail(QStringLiteral("not valid JSON"));
    if (!value->isObject())
        return fail(QStringLiteral("must be a JSON object"));
    Result<Scenario> compiled = compileScenario(value->toObject(), QFileInfo(path).absolutePath());
    if (!compiled)
        return fail(compiled.error().description());
    return value->toObject();
}

QString LiveSim::validateScenario(const QJsonObject& scenario, const QString& scenarioDirectory)
{
    Result<Scenario> compiled = compileScenario(scenario, scenarioDirectory);
    return compiled ? QString() : compiled.error().description();
}

quint16 LiveSim::start(quint16 port)
{
    QMutexLocker control(&m_control);
    if (m_thread)
        return this->port();
    if (!m_scenario)
        return 0;
    bool stalled = false;
    {
        QMutexLocker lock(&m_shared->mutex);
        m_shared->error.clear();
        m_shared->stopping = false;
        m_shared->port = 0;
        stalled = m_shared->stalled;
    }
    m_server = new Server(m_scenario, m_shared);
    if (!startServerThread(m_thread, m_server, QStringLiteral("kestrabo-live-sim"), port)) {
        control.unlock();
        stop();
        return 0;
    }
    if (stalled)
        enterStall();
    return this->port();
}

void LiveSim::stop()
{
    QMutexLocker control(&m_control);
    if (!m_thread)
        return;
    {
        QMutexLocker lock(&m_shared->mutex);
        m_shared->stopping = true;
        m_shared->stalled = false;
        m_shared->changed.wakeAll();
    }
    stopServerThread(m_thread, m_server);
    QMutexLocker lock(&m_shared->mutex);
    m_shared->port = 0;
}

QString LiveSim::errorString() const
{
    QMutexLocker lock(&m_shared->mutex);
    return m_shared->error;
}

bool LiveSim::setRecordFile(const QString& path, QString* error)
{
    std::unique_ptr<QFile> file;
    if (!path.isEmpty()) {
        file = std::make_unique<QFile>(path);
        if (!file->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
            if (error)
                *error = QStringLiteral("Cannot write the record file %1: %2.").arg(path, file->errorString());
            return false;
        }
    }
    QMutexLocker lock(&m_shared->mutex);
    m_shared->record = std::move(file);
    return true;
}

bool LiveSim::useTls(const QString& certificatePath, const QString& keyPath, QString* error)
{
    const auto fail = [error](const QString& text) {
        if (error)
            *error = text;
        return false;
    };
    QFile certificateFile(certificatePath), keyFile(keyPath);
    if (!certificateFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("Cannot read the certificate or key."));
    const QList<QSslCertificate> chain = QSslCertificate::fromData(certificateFile.readAll(), QSsl::Pem);
    const QByteArray keyText = keyFile.readAll();
    QSslKey key(keyText, QSsl::Ec, QSsl::Pem);
    if (key.isNull())
        key = QSslKey(keyText, QSsl::Rsa, QSsl::Pem);
    if (chain.isEmpty() || key.isNull())
        return fail(QStringLiteral("The certificate or key is not usable PEM."));
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificateChain(chain);
    configuration.setPrivateKey(key);
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    QMutexLocker lock(&m_shared->mutex);
    m_shared->tls = configuration;
    return true;
}

quint16 LiveSim::port() const
{
    QMutexLocker lock(&m_shared->mutex);
    return m_shared->port;
}

QUrl LiveSim::baseUrl() const
{
    QMutexLocker lock(&m_shared->mutex);
    return QUrl(QStringLiteral("%1://127.0.0.1:%2/v1").arg(m_shared->tls ? u"https" : u"http").arg(m_shared->port));
}

QUrl LiveSim::endpoint() const
{
    QMutexLocker lock(&m_shared->mutex);
    return QUrl(QStringLiteral("%1://127.0.0.1:%2%3").arg(m_shared->tls ? u"wss" : u"ws").arg(m_shared->port).arg(kPath));
}

QList<ReceivedEvent> LiveSim::received() const
{
    QMutexLocker lock(&m_shared->mutex);
    return m_shared->received;
}

QList<QJsonObject> LiveSim::received(const QString& type) const
{
    QMutexLocker lock(&m_shared->mutex);
    QList<QJsonObject> events;
    for (const ReceivedEvent& received : m_shared->received)
        if (json::type(received.event) == type)
            events.append(received.event);
    return events;
}

qint64 LiveSim::audioAppends() const
{
    QMutexLocker lock(&m_shared->mutex);
    return m_shared->audioAppends;
}

int LiveSim::connectionCount() const
{
    QMutexLocker lock(&m_shared->mutex);
    return m_shared->accepted;
}

int LiveSim::openConnections() const
{
    QMutexLocker lock(&m_shared->mutex);
    return m_shared->open;
}

void LiveSim::post(std::function<void(Server&)> action)
{
    QMutexLocker control(&m_control);
    if (!m_server)
        return;
    Server* server = m_server;
    QMetaObject::invokeMethod(server, [server, action = std::move(action)] { action(*server); },
                              Qt::QueuedConnection);
}

void LiveSim::send(const QJsonObject& event)
{
    const QByteArray payload = json::compact(event);
    post([payload](Server& server) { server.sendToNewest(payload, false); });
}

void LiveSim::sendText(const QString& text)
{
    const QByteArray payload = text.toUtf8();
    post([payload](Server& server) { server.sendToNewest(payload, false); });
}

void LiveSim::sendBinary(const QByteArray& data)
{
    post([data](Server& server) { server.sendToNewest(data, true); });
}

void LiveSim::closeConnections(int code)
{
    post([code](Server& server) { server.closeAll(code); });
}

void LiveSim::setStalled(bool stalled)
{
    QMutexLocker control(&m_control);
    {
        QMutexLocker lock(&m_shared->mutex);
        m_shared->stalled = stalled;
        m_shared->changed.wakeAll();
        if (!stalled || !m_server)
            return;
    }
    enterStall();
}

// Called with m_control held and a running server.
void LiveSim::enterStall()
{
    Server* server = m_server;
    QMetaObject::invokeMethod(server, [server] { server->stallHere(); }, Qt::QueuedConnection);
    QMutexLocker lock(&m_shared->mutex);
    while (m_shared->stalled && !m_shared->stallActive && !m_shared->stopping)
        m_shared->changed.wait(&m_shared->mutex);
}

} // namespace kestrabo::sim
