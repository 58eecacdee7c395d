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
#include <utility>

class QThread;

// A stand-in for the Responses endpoint: an HTTP/1.1 server on 127.0.0.1 that records every
// request and answers POST …/responses from a small JSON scenario (see README.md).
//
// The server runs on a thread of its own, so a test's main thread can spin or wait as it
// likes while replies are delayed. Every member may be called from any thread but the
// server's own.
namespace kestrabo::sim {

struct ResponsesScenario;

struct ReceivedRequest {
    int connection = 0; // 1 for the first accepted connection, 2 for the next, …
    QByteArray method;
    QByteArray path;
    QList<std::pair<QByteArray, QByteArray>> headers; // as sent, in order
    QByteArray body;
    int status = 0;     // what the stand-in answered (0 when it dropped the connection)

    // The first header of that name, compared without regard to case.
    QByteArray header(const QByteArray& name) const;
    // The body as a JSON object; empty when it is not one.
    QJsonObject json() const;
};

class ResponsesSim {
public:
    // An unusable scenario makes start() fail, with the reason in errorString().
    explicit ResponsesSim(const QJsonObject& scenario = {});
    ~ResponsesSim();
    ResponsesSim(const ResponsesSim&) = delete;
    ResponsesSim& operator=(const ResponsesSim&) = delete;

    static std::optional<QJsonObject> loadScenario(const QString& path, QString* error);
    // The reason a scenario cannot be used, or an empty string.
    static QString validateScenario(const QJsonObject& scenario);
    // A finished reply whose one message carries `text`, for scenarios built in code.
    static QJsonObject completedReply(const QString& text);

    // Replaces the replies and starts them over; the requests seen so far are kept.
    bool setScenario(const QJsonObject& scenario, QString* error = nullptr);

    quint16 start(quint16 port = 0); // the port, 0 on failure
    void stop();
    QString errorString() const;

    // Appends each request as one JSON line {"connection","method","path","headers","body",
    // "status"}, the Authorization value masked; an empty path stops recording.
    bool setRecordFile(const QString& path, QString* error = nullptr);

    // Called on the server's thread with one line per request; set before start().
    std::function<void(const QString&)> onLog;

    quint16 port() const;
    QUrl baseUrl() const;  // http://127.0.0.1:PORT/v1
    QUrl endpoint() const; // http://127.0.0.1:PORT/v1/responses

    QList<ReceivedRequest> received() const;
    int requestCount() const;
    int openConnections() const;

private:
    struct Shared;
    class Server;

    std::shared_ptr<Shared> m_shared;
    mutable QMutex m_control; // start and stop
    QThread* m_thread = nullptr;
    Server* m_server = nullptr;
};

} // namespace kestrabo::sim
