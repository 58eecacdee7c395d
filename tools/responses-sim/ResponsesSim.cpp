#include "responses-sim/ResponsesSim.h"
#include "sim-common/ServerThread.h"

#include "responses-sim/Scenario.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMetaObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

namespace kestrabo::sim {

namespace {

constexpr qsizetype kMaxHeadBytes = 64 * 1024;
constexpr qsizetype kMaxBodyBytes = 64 * 1024 * 1024;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 202: return "Accepted";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 413: return "Content Too Large";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    default: return "Status";
    }
}

QByteArray errorBody(const QString& message)
{
    return QJsonDocument(QJsonObject{{QStringLiteral("error"),
                                      QJsonObject{{QStringLiteral("message"), message},
                                                  {QStringLiteral("type"), QStringLiteral("invalid_request_error")}}}})
        .toJson(QJsonDocument::Compact);
}

// Recordings may be shared; a bearer token never goes into one.
QString masked(const QByteArray& value)
{
    const QByteArray scheme = "Bearer ";
    if (value.startsWith(scheme))
        return QStringLiteral("Bearer <masked, %1 characters>").arg(value.size() - scheme.size());
    return QStringLiteral("<masked, %1 characters>").arg(value.size());
}

} // namespace

QByteArray ReceivedRequest::header(const QByteArray& name) const
{
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return QByteArray();
}

QJsonObject ReceivedRequest::json() const
{
    const QJsonDocument document = QJsonDocument::fromJson(body);
    return document.isObject() ? document.object() : QJsonObject();
}

struct ResponsesSim::Shared {
    QMutex mutex;
    std::optional<ResponsesScenario> scenario;
    QString scenarioError;
    QList<bool> used;
    QList<ReceivedRequest> received;
    std::unique_ptr<QFile> record;
    std::function<void(const QString&)> log;
    QString error;
    quint16 port = 0;
    int connections = 0;
    int openConnections = 0;

    // Keyed replies first (the first unused one whose text the body contains), then the
    // first unused reply without a key, then the default.
    ScriptedReply choose(const QByteArray& body)
    {
        const QList<ScriptedReply>& replies = scenario->replies;
        auto take = [&](qsizetype index) {
            if (!replies[index].repeat)
                used[index] = true;
            return replies[index];
        };
        for (qsizetype i = 0; i < replies.size(); ++i) {
            if (!used[i] && !replies[i].match.isEmpty() && body.contains(replies[i].match.toUtf8()))
                return take(i);
        }
        for (qsizetype i = 0; i < replies.size(); ++i) {
            if (!used[i] && replies[i].match.isEmpty())
                return take(i);
        }
        return scenario->fallback;
    }

    void writeRecord(const ReceivedRequest& request)
    {
        if (!record)
            return;
        QJsonObject headers;
        for (const auto& [name, value] : request.headers) {
            const QString key = QString::fromLatin1(name);
            headers.insert(key, name.compare("authorization", Qt::CaseInsensitive) == 0
                                    ? masked(value)
                                    : QString::fromLatin1(value));
        }
        QJsonParseError parseError{};
        const QJsonDocument document = QJsonDocument::fromJson(request.body, &parseError);
        QJsonValue body = QString::fromUtf8(request.body);
        if (parseError.error == QJsonParseError::NoError)
            body = document.isObject() ? QJsonValue(document.object()) : QJsonValue(document.array());
        const QJsonObject line{
            {QStringLiteral("connection"), request.connection},
            {QStringLiteral("method"), QString::fromLatin1(request.method)},
            {QStringLiteral("path"), QString::fromLatin1(request.path)},
            {QStringLiteral("headers"), headers},
            {QStringLiteral("body"), body},
            {QStringLiteral("status"), request.status},
        };
        record->write(QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n');
        record->flush();
    }
};

namespace {

struct Head {
    QByteArray method;
    QByteArray path;
    QList<std::pair<QByteArray, QByteArray>> headers;
    qsizetype contentLength = 0;
    bool keepAlive = true;
    bool expectContinue = false;
};

// One accepted socket. Requests on it are answered strictly in order; a delayed reply holds
// back the next request on the same connection, never those on other connections.
class Connection : public QObject {
public:
    using Handler = std::function<ScriptedReply(const Head&, const QByteArray& body, int connection)>;

    Connection(QTcpSocket* socket, int id, Handler handler, QObject* parent)
        : QObject(parent), m_socket(socket), m_id(id), m_handler(std::move(handler))
    {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this] {
            m_buffer += m_socket->readAll();
            process();
        });
        connect(socket, &QTcpSocket::disconnected, this, &QObject::deleteLater);
    }

    void abort() { m_socket->abort(); }

private:
    void process()
    {
        while (!m_busy && !m_closing) {
            const qsizetype headEnd = m_buffer.indexOf("\r\n\r\n");
            if (headEnd < 0) {
                if (m_buffer.size() > kMaxHeadBytes)
                    refuse(431, QStringLiteral("The request head is too large."));
                return;
            }
            Head head;
            QString problem;
            int problemStatus = 400;
            if (!parseHead(m_buffer.left(headEnd), head, problem, problemStatus)) {
                refuse(problemStatus, problem);
                return;
            }
            const qsizetype bodyStart = headEnd + 4;
            if (m_buffer.size() - bodyStart < head.contentLength) {
                if (head.expectContinue && !m_continued) {
                    m_continued = true;
                    m_socket->write("HTTP/1.1 100 Continue\r\n\r\n");
                }
                return;
            }
            const QByteArray body = m_buffer.mid(bodyStart, head.contentLength);
            m_buffer.remove(0, bodyStart + head.contentLength);
            m_continued = false;

            const ScriptedReply reply = m_handler(head, body, m_id);
            const bool keepAlive = head.keepAlive;
            if (reply.delayMs > 0) {
                m_busy = true;
                QTimer::singleShot(reply.delayMs, this, [this, reply, keepAlive] {
                    m_busy = false;
                    respond(reply, keepAlive);
                    process();
                });
                return;
            }
            respond(reply, keepAlive);
        }
    }

    static bool parseHead(const QByteArray& text, Head& head, QString& problem, int& status)
    {
        const QList<QByteArray> lines = text.split('\n');
        const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
        if (requestLine.size() != 3 || !requestLine[2].startsWith("HTTP/1.")) {
            problem = QStringLiteral("The request line is malformed.");
            return false;
        }
        head.method = requestLine[0];
        head.path = requestLine[1];
        const bool http11 = requestLine[2] == "HTTP/1.1";
        QByteArray connection;
        bool lengthSeen = false;
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines[i].endsWith('\r') ? lines[i].chopped(1) : lines[i];
            const qsizetype colon = line.indexOf(':');
            if (colon <= 0) {
                problem = QStringLiteral("A header line is malformed.");
                return false;
            }
            const QByteArray name = line.left(colon).trimmed();
            const QByteArray value = line.mid(colon + 1).trimmed();
            head.headers.append({name, value});
            const QByteArray lower = name.toLower();
            if (lower == "content-length") {
                bool ok = false;
                const qlonglong length = value.toLongLong(&ok);
                if (!ok || length < 0 || (lengthSeen && length != head.contentLength)) {
                    problem = QStringLiteral("Content-Length is invalid.");
                    return false;
                }
                if (length > kMaxBodyBytes) {
                    status = 413;
                    problem = QStringLiteral("The request body is too large.");
                    return false;
                }
                lengthSeen = true;
                head.contentLength = length;
            } else if (lower == "transfer-encoding") {
                status = 501;
                problem = QStringLiteral("Only bodies with a Content-Length are supported.");
                return false;
            } else if (lower == "connection") {
                connection = value.toLower();
            } else if (lower == "expect") {
                head.expectContinue = value.toLower() == "100-continue";
            }
        }
        head.keepAlive = http11 ? !connection.contains("close") : connection.contains("keep-alive");
        return true;
    }

    void respond(const ScriptedReply& reply, bool keepAlive)
    {
        if (reply.drop) {
            m_closing = true;
            m_socket->disconnectFromHost();
            return;
        }
        QByteArray message = "HTTP/1.1 " + QByteArray::number(reply.status) + ' ' + reasonPhrase(reply.status)
            + "\r\nContent-Type: " + reply.contentType
            + (reply.location.isEmpty() ? QByteArray() : "\r\nLocation: " + reply.location) + "\r\nContent-Length: "
            + QByteArray::number(reply.body.size()) + "\r\nConnection: " + (keepAlive ? "keep-alive" : "close")
            + "\r\n\r\n";
        const qsizetype partial = reply.cutAfter >= 0 ? reply.cutAfter : reply.stallAfter;
        m_socket->write(message + (partial >= 0 ? reply.body.left(partial) : reply.body));
        if (partial >= 0) {
            // Nothing more is read or answered on this connection.
            m_closing = true;
            if (reply.cutAfter >= 0)
                m_socket->disconnectFromHost();
            return;
        }
        if (!keepAlive) {
            m_closing = true;
            m_socket->disconnectFromHost();
        }
    }

    void refuse(int status, const QString& message)
    {
        ScriptedReply reply;
        reply.status = status;
        reply.body = errorBody(message);
        respond(reply, false);
    }

    QTcpSocket* m_socket;
    int m_id;
    Handler m_handler;
    QByteArray m_buffer;
    bool m_busy = false;
    bool m_closing = false;
    bool m_continued = false;
};

} // namespace

class ResponsesSim::Server : public QObject {
public:
    explicit Server(std::shared_ptr<Shared> shared) : m_shared(std::move(shared)) {}

    bool listen(quint16 port)
    {
        m_tcp = new QTcpServer(this);
        connect(m_tcp, &QTcpServer::newConnection, this, [this] { accept(); });
        if (!m_tcp->listen(QHostAddress::LocalHost, port)) {
            QMutexLocker lock(&m_shared->mutex);
            m_shared->error = QStringLiteral("Cannot listen on 127.0.0.1:%1: %2").arg(port).arg(m_tcp->errorString());
            return false;
        }
        QMutexLocker lock(&m_shared->mutex);
        m_shared->port = m_tcp->serverPort();
        return true;
    }

    void shutdown()
    {
        if (m_tcp)
            m_tcp->close();
        for (const QPointer<Connection>& connection : std::as_const(m_connections)) {
            if (connection)
                connection->abort();
        }
    }

private:
    void accept()
    {
        while (QTcpSocket* socket = m_tcp->nextPendingConnection()) {
            int id = 0;
            {
                QMutexLocker lock(&m_shared->mutex);
                id = ++m_shared->connections;
                ++m_shared->openConnections;
            }
            std::weak_ptr<Shared> weak = m_shared;
            auto* connection = new Connection(
                socket, id, [this](const Head& head, const QByteArray& body, int c) { return handle(head, body, c); },
                this);
            m_connections.removeAll(nullptr);
            m_connections.append(connection);
            connect(connection, &QObject::destroyed, [weak] {
                if (const auto shared = weak.lock()) {
                    QMutexLocker lock(&shared->mutex);
                    --shared->openConnections;
                }
            });
        }
    }

    ScriptedReply handle(const Head& head, const QByteArray& body, int connection)
    {
        ReceivedRequest request{connection, head.method, head.path, head.headers, body, 0};
        QByteArray path = head.path;
        if (const qsizetype query = path.indexOf('?'); query >= 0)
            path.truncate(query);
        ScriptedReply reply;
        if (!path.endsWith("/responses")) {
            reply.status = 404;
            reply.body = errorBody(QStringLiteral("The stand-in only serves POST /v1/responses."));
        } else if (head.method != "POST") {
            reply.status = 405;
            reply.body = errorBody(QStringLiteral("The stand-in only serves POST /v1/responses."));
        }
        std::function<void(const QString&)> log;
        int number = 0;
        {
            QMutexLocker lock(&m_shared->mutex);
            if (reply.status == 200)
                reply = m_shared->choose(body);
            request.status = reply.drop ? 0 : reply.status;
            m_shared->received.append(request);
            m_shared->writeRecord(request);
            number = int(m_shared->received.size());
            log = m_shared->log;
        }
        if (log) {
            QString line = QStringLiteral("request %1: %2 %3 (%4 bytes) -> ")
                               .arg(number)
                               .arg(QString::fromLatin1(head.method), QString::fromLatin1(head.path))
                               .arg(body.size());
            line += reply.drop ? QStringLiteral("dropped") : QString::number(reply.status);
            if (!reply.match.isEmpty())
                line += QStringLiteral(" [matched %1]").arg(reply.match);
            if (reply.delayMs > 0)
                line += QStringLiteral(" after %1 ms").arg(reply.delayMs);
            if (reply.cutAfter >= 0 || reply.stallAfter >= 0)
                line += QStringLiteral(", %1 after %2 body bytes")
                            .arg(reply.cutAfter >= 0 ? QStringLiteral("cut") : QStringLiteral("stalled"))
                            .arg(std::max(reply.cutAfter, reply.stallAfter));
            log(line);
        }
        return reply;
    }

    std::shared_ptr<Shared> m_shared;
    QTcpServer* m_tcp = nullptr;
    QList<QPointer<Connection>> m_connections;
};

ResponsesSim::ResponsesSim(const QJsonObject& scenario) : m_shared(std::make_shared<Shared>())
{
    setScenario(scenario);
}

ResponsesSim::~ResponsesSim()
{
    stop();
}

std::optional<QJsonObject> ResponsesSim::loadScenario(const QString& path, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("Cannot read %1: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        if (error)
            *error = QStringLiteral("%1 is not a JSON object: %2")
                         .arg(path, parseError.error != QJsonParseError::NoError ? parseError.errorString()
                                                                                 : QStringLiteral("wrong type"));
        return std::nullopt;
    }
    const QString problem = validateScenario(document.object());
    if (!problem.isEmpty()) {
        if (error)
            *error = path + QStringLiteral(": ") + problem;
        return std::nullopt;
    }
    return document.object();
}

QString ResponsesSim::validateScenario(const QJsonObject& scenario)
{
    QString error;
    return parseResponsesScenario(scenario, &error) ? QString() : error;
}

QJsonObject ResponsesSim::completedReply(const QString& text)
{
    return completedResponse(text);
}

bool ResponsesSim::setScenario(const QJsonObject& scenario, QString* error)
{
    QString problem;
    auto parsed = parseResponsesScenario(scenario, &problem);
    QMutexLocker lock(&m_shared->mutex);
    if (!parsed) {
        m_shared->scenarioError = problem;
        if (error)
            *error = problem;
        return false;
    }
    m_shared->scenario = std::move(*parsed);
    m_shared->scenarioError.clear();
    m_shared->used = QList<bool>(m_shared->scenario->replies.size(), false);
    return true;
}

quint16 ResponsesSim::start(quint16 port)
{
    QMutexLocker control(&m_control);
    if (m_thread)
        return this->port();
    {
        QMutexLocker lock(&m_shared->mutex);
        if (!m_shared->scenario) {
            m_shared->error = QStringLiteral("The scenario is unusable: ") + m_shared->scenarioError;
            return 0;
        }
        m_shared->error.clear();
        m_shared->port = 0;
        m_shared->log = onLog;
    }
    m_server = new Server(m_shared);
    if (!startServerThread(m_thread, m_server, QStringLiteral("kestrabo-responses-sim"), port)) {
        control.unlock();
        stop();
        return 0;
    }
    return this->port();
}

void ResponsesSim::stop()
{
    QMutexLocker control(&m_control);
    if (!m_thread)
        return;
    stopServerThread(m_thread, m_server);
    QMutexLocker lock(&m_shared->mutex);
    m_shared->port = 0;
}

QString ResponsesSim::errorString() const
{
    QMutexLocker lock(&m_shared->mutex);
    return m_shared->error;
}

bool ResponsesSim::setRecordFile(const QString& path, QString* error)
{
    QMutexLocker lock(&m_shared->mutex);
    m_shared->record.reset();
    if (path.isEmpty())
        return true;
    auto file = std::make_unique<QFile>(path);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
        if (error)
            *error = QStringLiteral("Cannot write %1: %2").arg(path, file->errorString());
        return false;
    }
    m_shared->record = std::move(file);
    return true;
}

quint16 ResponsesSim::port() const
{
    QMutexLocker lock(&m_shared->mutex);
    return m_shared->port;
}

QUrl ResponsesSim::baseUrl() const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1/v1").arg(port()));
}

QUrl ResponsesSim::endpoint() const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1/v1/responses").arg(port()));
}

QList<ReceivedRequest> ResponsesSim::received() const
{
    QMutexLocker lock(&m_shared->mutex);
    return m_shared->received;
}

int ResponsesSim::requestCount() const
{
    QMutexLocker lock(&m_shared->mutex);
    return int(m_shared->received.size());
}

int ResponsesSim::openConnections() const
{
    QMutexLocker lock(&m_shared->mutex);
    return m_shared->openConnections;
}

} // namespace kestrabo::sim
