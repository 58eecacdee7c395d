#include "routing/ResponsesTransport.h"

#include "core/ApiBase.h"
#include "core/Json.h"
#include "core/Text.h"
#include "routing/ResponsesBody.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QMutex>
#include <QNetworkAccessManager>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

namespace kestrabo::ResponsesTransport {

namespace {

const QString kIncomplete = QStringLiteral("The model response was incomplete. Please retry.");
const QString kRefused = QStringLiteral("The model could not help with this request.");
const QString kNoFindings = QStringLiteral("The model returned no findings. Please retry.");
const QString kUnsendableKey =
    QStringLiteral("The OpenAI API key contains characters that cannot be sent. Check the key.");

// A line break in a header value would end the header and start another one.
bool sendableInHeader(const QString& value)
{
    for (const QChar c : value) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            return false;
    }
    return true;
}

// Keeps nothing: a request must not carry state from an earlier one.
class NoCookies : public QNetworkCookieJar {
public:
    using QNetworkCookieJar::QNetworkCookieJar;
    QList<QNetworkCookie> cookiesForUrl(const QUrl&) const override { return {}; }
    bool setCookiesFromUrl(const QList<QNetworkCookie>&, const QUrl&) override { return false; }
};

QUrl& endpointOverride()
{
    static QUrl url;
    return url;
}

// The server's own explanation of a refused request, kept beside the sentence for diagnostics.
std::optional<KestraboError> serverError(const QByteArray& body, int status)
{
    const std::optional<QJsonValue> reply = json::parse(body);
    if (!reply || !reply->isObject())
        return std::nullopt;
    const auto error = json::object(reply->toObject(), u"error");
    const auto message = error ? json::string(*error, u"message") : std::nullopt;
    if (!message)
        return std::nullopt;
    return KestraboError(QStringLiteral("OpenAI"), status, *message);
}

// Qt describes transport failures in fragments ("Connection closed"); the user reads a sentence.
QString transportSentence(QNetworkReply::NetworkError error, const QString& qtText)
{
    switch (error) {
    case QNetworkReply::TimeoutError:
        return QStringLiteral("The request timed out.");
    case QNetworkReply::RemoteHostClosedError:
        return QStringLiteral("The network connection was lost.");
    case QNetworkReply::ConnectionRefusedError:
        return QStringLiteral("Could not connect to the server.");
    case QNetworkReply::HostNotFoundError:
        return QStringLiteral("The server could not be found. Check the network.");
    case QNetworkReply::SslHandshakeFailedError:
        return QStringLiteral("An SSL error has occurred and a secure connection to the server cannot be made.");
    default:
        return qtText;
    }
}

Result<QJsonObject> evaluate(QNetworkReply* reply, const QString& purpose, bool timedOut)
{
    if (timedOut)
        return KestraboError(QString::fromLatin1(networkDomain), QNetworkReply::TimeoutError,
                             transportSentence(QNetworkReply::TimeoutError, QString()));
    const QNetworkReply::NetworkError error = reply->error();
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    // Once a status arrived it decides, whatever Qt made of it (a proxy's 407, a refused
    // redirect to another host, an unexpected 1xx): the user gets the one sentence.
    if (status.isValid()) {
        const int code = status.toInt();
        if (code < 200 || code > 299) {
            const KestraboError failed = KestraboError::message(
                QStringLiteral("%1 failed (HTTP %2). Check OpenAI access and billing.").arg(purpose).arg(code));
            const auto cause = serverError(reply->readAll(), code);
            return cause ? failed.wrapping(*cause) : failed;
        }
    }
    if (error != QNetworkReply::NoError)
        return KestraboError(QString::fromLatin1(networkDomain), error, transportSentence(error, reply->errorString()));
    if (!status.isValid())
        return KestraboError::message(purpose + QStringLiteral(" received no response."));
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(reply->readAll(), &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return KestraboError(QStringLiteral("QJsonParseError"), parseError.error,
                             QStringLiteral("The data couldn't be read because it isn't in the correct format."));
    if (!document.isObject())
        return KestraboError::message(purpose + QStringLiteral(" returned an unexpected response."));
    return document.object();
}

std::optional<QList<QJsonObject>> objects(const QJsonValue& value)
{
    if (!value.isArray())
        return std::nullopt;
    QList<QJsonObject> result;
    for (const QJsonValue& element : value.toArray()) {
        if (!element.isObject())
            return std::nullopt;
        result.append(element.toObject());
    }
    return result;
}

} // namespace

QNetworkAccessManager* session()
{
    static QMutex mutex;
    static QPointer<QNetworkAccessManager> manager;
    QMutexLocker lock(&mutex);
    if (!manager) {
        auto* created = new QNetworkAccessManager;
        created->setCookieJar(new NoCookies(created));
        created->setCache(nullptr);
        if (QCoreApplication* app = QCoreApplication::instance()) {
            created->moveToThread(app->thread());
            created->setParent(app);
        }
        manager = created;
    }
    return manager;
}

QUrl endpoint()
{
    const QUrl& override = endpointOverride();
    return override.isEmpty() ? api::responsesEndpoint(api::base()) : override;
}

void setEndpoint(const QUrl& url)
{
    endpointOverride() = url;
}

void request(const QJsonObject& body, const QString& key, const QString& purpose,
             double timeoutSeconds, const Job& job, Completion completion)
{
    QNetworkRequest request(endpoint());
    request.setRawHeader("Authorization", "Bearer " + key.toUtf8());
    request.setRawHeader("Content-Type", "application/json");
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::AuthenticationReuseAttribute, QNetworkRequest::Manual);
    // The bearer token must never follow a redirect to another host.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::SameOriginRedirectPolicy);
    const QByteArray payload = ResponsesBody::serialize(body);

    if (job.isCancelled())
        return;
    if (!sendableInHeader(key)) {
        deliverLater(job, std::move(completion), Result<QJsonObject>(KestraboError::message(kUnsendableKey)));
        return;
    }

    QNetworkReply* reply = session()->post(request, payload);
    QPointer<QNetworkReply> guard(reply);
    auto timedOut = std::make_shared<bool>(false);

    auto* timer = new QTimer(reply);
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    const double milliseconds = std::isfinite(timeoutSeconds) ? timeoutSeconds * 1000.0 : 0.0;
    timer->setInterval(int(std::clamp(milliseconds, 0.0, double(std::numeric_limits<int>::max()))));
    QObject::connect(timer, &QTimer::timeout, reply, [guard, timedOut] {
        *timedOut = true;
        if (guard)
            guard->abort();
    });

    QObject::connect(reply, &QNetworkReply::finished, reply,
                     [guard, timer, timedOut, job, purpose, completion = std::move(completion)] {
                         if (!guard)
                             return;
                         timer->stop();
                         guard->deleteLater();
                         if (job.isCancelled())
                             return;
                         completion(evaluate(guard, purpose, *timedOut));
                     });
    job.onCancel([guard] {
        if (guard) {
            guard->abort();
            guard->deleteLater();
        }
    });
    timer->start();
}

Result<QString> outputText(const QJsonObject& reply)
{
    if (json::string(reply, u"status") != QStringLiteral("completed"))
        return KestraboError::message(kIncomplete);
    const std::optional<QList<QJsonObject>> output = objects(reply.value(u"output"));
    if (!output)
        return KestraboError::message(kIncomplete);

    QList<QJsonObject> parts;
    for (const QJsonObject& item : *output) {
        // Only messages carry the answer; reasoning and tool items never add to it.
        if (json::type(item) != u"message")
            continue;
        if (const auto content = objects(item.value(u"content")))
            parts.append(*content);
    }
    // A refusal wins even beside text: partial text next to one is not an answer.
    for (const QJsonObject& part : parts) {
        if (json::type(part) == u"refusal")
            return KestraboError::message(kRefused);
    }
    QStringList texts;
    for (const QJsonObject& part : parts) {
        if (json::type(part) != u"output_text")
            continue;
        if (const auto text = json::string(part, u"text"))
            texts.append(*text);
    }
    const QString joined = texts.join(QLatin1Char('\n'));
    if (!text::hasContent(joined))
        return KestraboError::message(kNoFindings);
    return joined;
}

} // namespace kestrabo::ResponsesTransport
