#pragma once

#include "core/Job.h"
#include "core/Result.h"

#include <QCoreApplication>
#include <QJsonObject>
#include <QString>
#include <QUrl>

#include <functional>
#include <utility>

class QNetworkAccessManager;

// The one HTTPS client for the Responses endpoint. It knows nothing of prompts: callers hand
// it a finished body and a purpose, the subject of every sentence it fails with.
//
// Main thread only. A cancelled job never hears back: nothing is sent when it is cancelled
// before the request leaves, and a reply that arrives after it was cancelled is dropped.
namespace kestrabo::ResponsesTransport {

using Completion = std::function<void(Result<QJsonObject>)>;

// Sends `body` with `key` as the bearer token and completes, in a later turn of the event
// loop, with the reply's top-level object or one error. Transport errors (no connection,
// time-out, TLS) keep their own domain and code; everything else is a finished sentence.
void request(const QJsonObject& body, const QString& key, const QString& purpose,
             double timeoutSeconds, const Job& job, Completion completion);

// The model's text in a reply: output_text parts joined by line feeds, untrimmed.
Result<QString> outputText(const QJsonObject& reply);

// The shared manager: no cookies, no cache, no stored credentials. Created on first use.
QNetworkAccessManager* session();

// Where requests go: the configured API base, unless a test points it elsewhere. An empty
// URL restores the configured one.
QUrl endpoint();
void setEndpoint(const QUrl& url);

// Hands a result over in a later turn of the main event loop, unless the job was cancelled
// by then; callers never meet their completion inside their own call.
template <class Completion, class Value>
void deliverLater(const Job& job, Completion completion, Value value)
{
    post(QCoreApplication::instance(),
         [job, completion = std::move(completion), value = std::move(value)]() mutable {
             if (!job.isCancelled())
                 completion(std::move(value));
         });
}

// The domain of transport errors, whose codes are QNetworkReply::NetworkError values.
inline constexpr const char* networkDomain = "QNetworkReply";

} // namespace kestrabo::ResponsesTransport
