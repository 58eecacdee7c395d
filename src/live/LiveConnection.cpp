#include "live/LiveConnection.h"

#include "core/Json.h"
#include "core/Text.h"
#include "live/Protocol.h"

#include <QNetworkRequest>
#include <QWebSocket>

namespace kestrabo {

namespace {

const QString kStartTimeout =
    QStringLiteral("GPT-Live did not start within 20 seconds. Check model access and retry.");
const QString kReceiveFailed = QStringLiteral(
    "Voice connection ended. Check your API key, model access, and network, then retry.");
const QString kSendFailed = QStringLiteral("Could not send audio or context. Reconnect to try again.");
const QString kContextBacklog = QStringLiteral(
    "Voice context is arriving faster than the connection can send it. Please reconnect.");
const QString kAudioBacklog =
    QStringLiteral("The connection cannot keep up with microphone audio. Please reconnect.");
const QString kCloseTimeout =
    QStringLiteral("Voice stopped, but final session usage could not be confirmed.");

// Lets a closing socket finish its close handshake on its own, then frees it.
void retire(QWebSocket* socket)
{
    socket->disconnect();
    QObject::connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
    QTimer::singleShot(2'000, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
    if (socket->state() == QAbstractSocket::ConnectedState)
        socket->close(QWebSocketProtocol::CloseCodeNormal);
    else {
        socket->abort();
        socket->deleteLater();
    }
}

} // namespace

LiveConnection::LiveConnection(QObject* parent)
    : QObject(parent), m_endpoint(LiveProtocol::endpoint()), m_generation(QUuid::createUuid())
{
    for (QTimer* timer : {&m_startTimeout, &m_closeTimeout}) {
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
    }
    connect(&m_startTimeout, &QTimer::timeout, this, [this] { fail(kStartTimeout); });
    connect(&m_closeTimeout, &QTimer::timeout, this, [this] { fail(kCloseTimeout); });
}

LiveConnection::~LiveConnection()
{
    if (m_socket)
        retire(m_socket);
}

void LiveConnection::open(const QString& key)
{
    teardown();
    m_diagnostics = LiveDiagnostics{};
    m_lastDiagnosticUpdate.start();
    if (onDiagnostics)
        onDiagnostics(m_diagnostics);

    const QUuid generation = m_generation;
    QNetworkRequest request(m_endpoint);
    request.setRawHeader("Authorization", "Bearer " + key.toUtf8());
    request.setTransferTimeout(20'000);

    auto* socket = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, this);
    socket->setMaxAllowedIncomingMessageSize(maxIncomingMessageBytes);
    m_socket = socket;

    connect(socket, &QWebSocket::connected, this, [this, generation] {
        if (generation == m_generation)
            pump();
    });
    connect(socket, &QWebSocket::textMessageReceived, this,
                     [this, generation](const QString& text) { receive(text.toUtf8(), generation); });
    connect(socket, &QWebSocket::binaryMessageReceived, this,
                     [this, generation](const QByteArray& data) { receive(data, generation); });
    // Under TLS this counts encrypted bytes, which the operating system has really taken.
    connect(socket, &QWebSocket::bytesWritten, this, [this, generation](qint64 written) {
        if (generation != m_generation || !m_inFlight)
            return;
        m_inFlightUnwritten -= written;
        if (m_inFlightUnwritten <= 0)
            completeSend();
    });
    const auto ended = [this, generation] {
        if (generation == m_generation)
            fail(kReceiveFailed);
    };
    connect(socket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this, ended);
    connect(socket, &QWebSocket::disconnected, this, ended);

    socket->open(request);
    // An open that fails at once (bad URL, no TLS) has reported and ended this attempt.
    if (generation != m_generation)
        return;
    enqueue(LiveProtocol::start(), 0);
    m_startTimeout.start(m_timing.startTimeoutMs);
}

void LiveConnection::receive(const QByteArray& message, const QUuid& generation)
{
    if (generation != m_generation)
        return;
    const std::optional<QJsonValue> value = json::parse(message);
    if (!value) {
        fail(kReceiveFailed);
        return;
    }
    if (!value->isObject())
        return;
    const QJsonObject event = value->toObject();
    const std::optional<QString> type = json::string(event, u"type");
    m_diagnostics.lastEventType = type.value_or(QStringLiteral("Unknown event"));

    if (type == QLatin1String(LiveProtocol::outputAudioDelta)) {
        if (const auto delta = json::string(event, u"delta")) {
            if (const auto decoded = text::decodeBase64(*delta)) {
                m_diagnostics.outputChunks += 1;
                m_diagnostics.outputBytes += decoded->size();
            }
        }
    }
    const bool started = type == QLatin1String(LiveProtocol::sessionStarted);
    if (started) {
        m_ready = true;
        m_startTimeout.stop();
        m_diagnostics.sessionStarted = true;
    }
    publishDiagnostics(started);
    if (onEvent)
        onEvent(event);
    if (type == QLatin1String(LiveProtocol::sessionClosed) && generation == m_generation)
        teardown();
}

void LiveConnection::audio(const QByteArray& data)
{
    if (!m_ready || m_closing)
        return;
    const QByteArray joined = m_pendingPCMByte + data;
    const qsizetype even = joined.size() - joined.size() % 2;
    m_pendingPCMByte = joined.mid(even);
    if (even == 0)
        return;
    if (m_queuedAudio + 1 > maxQueuedAudio || m_queuedAudioBytes + even > maxQueuedAudioBytes) {
        fail(kAudioBacklog);
        return;
    }
    m_queuedAudio += 1;
    m_queuedAudioBytes += even;
    const QJsonObject event{
        {QStringLiteral("type"), QString::fromLatin1(LiveProtocol::inputAudioAppend)},
        {QStringLiteral("audio"), QString::fromLatin1(joined.left(even).toBase64())},
    };
    enqueue(event, even);
}

void LiveConnection::enqueue(const QJsonObject& event, qint64 audioBytes)
{
    if (!m_socket)
        return;
    const QString text = QString::fromUtf8(json::compact(event));
    if (text.isEmpty())
        return;
    if (m_queuedMessages >= maxQueuedMessages) {
        fail(kContextBacklog);
        return;
    }
    m_queuedMessages += 1;
    m_outgoing.push_back({text, audioBytes});
    pump();
}

void LiveConnection::pump()
{
    while (m_socket && !m_inFlight && !m_outgoing.empty()
           && m_socket->state() == QAbstractSocket::ConnectedState) {
        Outgoing next = std::move(m_outgoing.front());
        m_outgoing.pop_front();
        const qint64 expected = next.text.toUtf8().size();
        m_inFlight = std::move(next);
        m_inFlightUnwritten = wireBytes(expected);
        const QUuid generation = m_generation;
        const qint64 sent = m_socket->sendTextMessage(m_inFlight->text);
        if (generation != m_generation)
            return;
        if (sent != expected)
            fail(kSendFailed);
        return; // completes on bytesWritten
    }
}

// What a client text message of `payloadBytes` occupies on the wire: per frame a 2-byte head,
// the extended length and the 4-byte mask, then the payload.
qint64 LiveConnection::wireBytes(qint64 payloadBytes) const
{
    const qint64 frameSize = std::max<qint64>(1, qint64(m_socket ? m_socket->outgoingFrameSize() : payloadBytes));
    qint64 total = 0;
    qint64 left = payloadBytes;
    do {
        const qint64 payload = std::min(left, frameSize);
        total += 2 + (payload > 65'535 ? 8 : payload > 125 ? 2 : 0) + 4 + payload;
        left -= payload;
    } while (left > 0);
    return total;
}

void LiveConnection::completeSend()
{
    if (!m_inFlight)
        return;
    const qint64 audioBytes = m_inFlight->audioBytes;
    m_inFlight.reset();
    m_queuedMessages -= 1;
    if (audioBytes >= 1) {
        m_queuedAudio -= 1;
        m_queuedAudioBytes -= audioBytes;
        m_diagnostics.inputChunks += 1;
        m_diagnostics.inputBytes += audioBytes;
        publishDiagnostics(false);
    }
    pump();
}

void LiveConnection::close()
{
    if (m_closing)
        return;
    if (!m_ready) {
        teardown();
        return;
    }
    m_closing = true;
    const QUuid generation = m_generation;
    enqueue(QJsonObject{{QStringLiteral("type"), QString::fromLatin1(LiveProtocol::sessionClose)}}, 0);
    if (generation == m_generation)
        m_closeTimeout.start(m_timing.closeTimeoutMs);
}

void LiveConnection::teardown()
{
    m_generation = QUuid::createUuid();
    m_ready = false;
    m_closing = false;
    m_queuedAudio = 0;
    m_queuedAudioBytes = 0;
    m_queuedMessages = 0;
    m_pendingPCMByte.clear();
    m_outgoing.clear();
    m_inFlight.reset();
    m_inFlightUnwritten = 0;
    m_startTimeout.stop();
    m_closeTimeout.stop();
    if (QWebSocket* socket = m_socket) {
        m_socket = nullptr;
        retire(socket);
    }
}

// Tears down before reporting, so that whatever the owner does in its failure handler
// (closing, reconnecting) meets an idle connection and the attempt reports only once.
void LiveConnection::fail(const QString& message)
{
    teardown();
    if (onFailure)
        onFailure(message);
}

void LiveConnection::publishDiagnostics(bool force)
{
    if (!force && m_lastDiagnosticUpdate.isValid()
        && m_lastDiagnosticUpdate.elapsed() < m_timing.diagnosticsIntervalMs)
        return;
    m_lastDiagnosticUpdate.start();
    if (onDiagnostics)
        onDiagnostics(m_diagnostics);
}

} // namespace kestrabo
