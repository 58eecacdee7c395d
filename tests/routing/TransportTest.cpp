#include "RoutingTestSupport.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QNetworkReply>
#include <QTcpServer>
#include <QTemporaryDir>

namespace kestrabo::test {
namespace {

using ResponsesTransport::outputText;

QJsonObject message(const QJsonArray& content)
{
    return QJsonObject{{QStringLiteral("type"), QStringLiteral("message")}, {QStringLiteral("content"), content}};
}

QJsonObject part(const char* type, const QString& text)
{
    return QJsonObject{{QStringLiteral("type"), QLatin1String(type)}, {QStringLiteral("text"), text}};
}

QJsonObject responseWith(const QJsonArray& output, const QJsonValue& status = QStringLiteral("completed"))
{
    return QJsonObject{{QStringLiteral("status"), status}, {QStringLiteral("output"), output}};
}

QString failure(const QJsonObject& reply)
{
    const Result<QString> text = outputText(reply);
    return text ? QStringLiteral("<ok: %1>").arg(text.value()) : text.error().description();
}

const QString kIncomplete = QStringLiteral("The model response was incomplete. Please retry.");
const QString kRefused = QStringLiteral("The model could not help with this request.");
const QString kNoFindings = QStringLiteral("The model returned no findings. Please retry.");

TEST(OutputText, CollectsMessageTextInOrder)
{
    const QJsonObject reasoning{{QStringLiteral("type"), QStringLiteral("reasoning")},
                                {QStringLiteral("summary"), QJsonArray{}}};
    EXPECT_EQ(outputText(responseWith({reasoning, message({part("output_text", QStringLiteral("Only this"))})})).value(),
              QStringLiteral("Only this"));
    EXPECT_EQ(outputText(responseWith({message({part("output_text", QStringLiteral("first")),
                                                part("output_text", QStringLiteral("second"))})}))
                  .value(),
              QStringLiteral("first\nsecond"));
    // Parts across messages join too; parts without string text are skipped.
    EXPECT_EQ(outputText(responseWith({message({part("output_text", QStringLiteral("a"))}),
                                       message({QJsonObject{{QStringLiteral("type"), QStringLiteral("output_text")},
                                                            {QStringLiteral("text"), 7}},
                                                part("output_text", QStringLiteral("b"))})}))
                  .value(),
              QStringLiteral("a\nb"));
    // Surrounding blank lines stay; emptiness is judged on the trimmed text only.
    EXPECT_EQ(outputText(responseWith({message({part("output_text", QStringLiteral("\n\n  Found it \n"))})})).value(),
              QStringLiteral("\n\n  Found it \n"));
}

TEST(OutputText, TurnsFailureStatesIntoSentences)
{
    const QJsonArray partial{message({part("output_text", QStringLiteral("partial"))})};
    EXPECT_EQ(failure(responseWith(partial, QStringLiteral("incomplete"))), kIncomplete);
    EXPECT_EQ(failure(responseWith(partial, QJsonValue())), kIncomplete);
    EXPECT_EQ(failure(responseWith(partial, 1)), kIncomplete);
    EXPECT_EQ(failure(QJsonObject{{QStringLiteral("output"), partial}}), kIncomplete);
    EXPECT_EQ(failure(QJsonObject{{QStringLiteral("status"), QStringLiteral("completed")}}), kIncomplete);
    EXPECT_EQ(failure(responseWith({message({}), QStringLiteral("stray")})), kIncomplete);

    // A refusal wins over text beside it, in the same message or another.
    EXPECT_EQ(failure(responseWith({message({part("output_text", QStringLiteral("Sure")),
                                             part("refusal", QStringLiteral("No."))})})),
              kRefused);
    EXPECT_EQ(failure(responseWith({message({part("output_text", QStringLiteral("Sure"))}),
                                    message({part("refusal", QStringLiteral("No."))})})),
              kRefused);

    EXPECT_EQ(failure(responseWith({message({part("output_text", QStringLiteral(" \n\t\n "))})})), kNoFindings);
    EXPECT_EQ(failure(responseWith({})), kNoFindings);
    // A content value that is not an array of objects adds nothing.
    EXPECT_EQ(failure(responseWith({QJsonObject{{QStringLiteral("type"), QStringLiteral("message")},
                                                {QStringLiteral("content"), QJsonArray{QStringLiteral("x")}}}})),
              kNoFindings);
}

class TransportTest : public ResponsesSimTest {
protected:
    void send(Outcome<QJsonObject>& outcome, const QString& purpose = QStringLiteral("Screen reading"),
              double timeout = 30, const Job& job = Job::start())
    {
        ResponsesTransport::request(QJsonObject{{QStringLiteral("hello"), QStringLiteral("world")}},
                                    QString::fromLatin1(key), purpose, timeout, job, outcome.sink());
    }
};

TEST_F(TransportTest, SendsTheBodyWithExactlyTwoHeaders)
{
    serve({QJsonObject{{QStringLiteral("json"), jsonFrom(R"({"status":"completed","id":"r1"})")}}});
    Outcome<QJsonObject> outcome;
    send(outcome);
    ASSERT_TRUE(outcome.wait());
    ASSERT_TRUE(outcome.result->ok()) << qPrintable(outcome.error());
    EXPECT_EQ(outcome.result->value(), jsonFrom(R"({"status":"completed","id":"r1"})"));

    const auto received = sim->received();
    ASSERT_EQ(received.size(), 1);
    const sim::ReceivedRequest& request = received.first();
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, "/v1/responses");
    EXPECT_EQ(request.header("Authorization"), QByteArray("Bearer ") + key);
    EXPECT_EQ(request.header("Content-Type"), "application/json");
    EXPECT_TRUE(request.header("Cookie").isEmpty());
    EXPECT_EQ(request.body, R"({"hello":"world"})");

    // One manager for every request, keeping no cookies.
    QNetworkAccessManager* manager = ResponsesTransport::session();
    EXPECT_EQ(manager, ResponsesTransport::session());
    EXPECT_EQ(manager->cache(), nullptr);
    manager->cookieJar()->setCookiesFromUrl({QNetworkCookie("a", "b")}, sim->endpoint());
    EXPECT_TRUE(manager->cookieJar()->cookiesForUrl(sim->endpoint()).isEmpty());
}

TEST_F(TransportTest, TurnsReplyFailuresIntoSentences)
{
    serve({
        QJsonObject{{QStringLiteral("match"), QStringLiteral("unauthorised")}, {QStringLiteral("status"), 401},
                    {QStringLiteral("json"), jsonFrom(R"({"status":"completed","output":[]})")}},
        QJsonObject{{QStringLiteral("match"), QStringLiteral("array")}, {QStringLiteral("json"), QJsonArray{1, 2}}},
        QJsonObject{{QStringLiteral("match"), QStringLiteral("garbage")}, {QStringLiteral("body"), QStringLiteral("{oops")}},
        QJsonObject{{QStringLiteral("match"), QStringLiteral("overloaded")}, {QStringLiteral("status"), 503}},
    });
    struct Case {
        const char* marker;
        QString purpose;
        QString expected; // empty: the parser's own error
    };
    const QList<Case> cases{
        {"unauthorised", QStringLiteral("Screen reading"),
         QStringLiteral("Screen reading failed (HTTP 401). Check OpenAI access and billing.")},
        {"array", QStringLiteral("Request routing"), QStringLiteral("Request routing returned an unexpected response.")},
        {"garbage", QStringLiteral("Request routing"), QString()},
        {"overloaded", QStringLiteral("Worker answer routing"),
         QStringLiteral("Worker answer routing failed (HTTP 503). Check OpenAI access and billing.")},
    };
    for (const Case& c : cases) {
        Outcome<QJsonObject> outcome;
        ResponsesTransport::request(QJsonObject{{QStringLiteral("case"), QLatin1String(c.marker)}},
                                    QString::fromLatin1(key), c.purpose, 30, Job::start(), outcome.sink());
        ASSERT_TRUE(outcome.wait()) << c.marker;
        ASSERT_FALSE(outcome.result->ok()) << c.marker;
        if (c.expected.isEmpty()) {
            EXPECT_EQ(outcome.result->error().domain(), QStringLiteral("QJsonParseError")) << c.marker;
        } else {
            EXPECT_EQ(outcome.error(), c.expected) << c.marker;
            EXPECT_EQ(outcome.result->error().domain(), QLatin1String(KestraboError::messageDomain));
        }
    }
}

TEST_F(TransportTest, PassesTransportErrorsOnUnchanged)
{
    serve({QJsonObject{{QStringLiteral("delayMs"), 5'000}, {QStringLiteral("outputText"), QStringLiteral("late")}},
           // Qt sends a request again once when the connection closes before any answer.
           QJsonObject{{QStringLiteral("drop"), true}, {QStringLiteral("repeat"), true}}});

    Outcome<QJsonObject> slow;
    send(slow, QStringLiteral("Screen reading"), 0.2);
    ASSERT_TRUE(slow.wait());
    ASSERT_FALSE(slow.result->ok());
    EXPECT_EQ(slow.result->error().domain(), QLatin1String(ResponsesTransport::networkDomain));
    EXPECT_EQ(slow.result->error().code(), QNetworkReply::TimeoutError);

    Outcome<QJsonObject> dropped;
    send(dropped);
    ASSERT_TRUE(dropped.wait());
    ASSERT_FALSE(dropped.result->ok());
    EXPECT_EQ(dropped.result->error().domain(), QLatin1String(ResponsesTransport::networkDomain)) << qPrintable(dropped.error());
    EXPECT_EQ(dropped.result->error().code(), QNetworkReply::RemoteHostClosedError);

    // Nobody listening: connection refused, not a sentence about HTTP.
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost));
    const quint16 port = closed.serverPort();
    closed.close();
    ResponsesTransport::setEndpoint(QUrl(QStringLiteral("http://127.0.0.1:%1/v1/responses").arg(port)));
    Outcome<QJsonObject> refused;
    send(refused);
    ASSERT_TRUE(refused.wait());
    ASSERT_FALSE(refused.result->ok());
    EXPECT_EQ(refused.result->error().code(), QNetworkReply::ConnectionRefusedError);
}

TEST_F(TransportTest, CancelledCallerNeverHearsBack)
{
    serve({QJsonObject{{QStringLiteral("delayMs"), 300}, {QStringLiteral("outputText"), QStringLiteral("late")},
                       {QStringLiteral("repeat"), true}}});

    // Cancelled before sending: nothing leaves.
    Job early = Job::start();
    early.cancel();
    Outcome<QJsonObject> unsent;
    send(unsent, QStringLiteral("Request routing"), 30, early);

    // Cancelled in flight: the reply is dropped and the connection given up.
    Job job = Job::start();
    Outcome<QJsonObject> inFlight;
    send(inFlight, QStringLiteral("Request routing"), 30, job);
    ASSERT_TRUE(waitUntil([&] { return sim->requestCount() == 1; }));
    job.cancel();
    EXPECT_TRUE(waitUntil([&] { return sim->openConnections() == 0; }));

    // A later request on the same session still completes, and after it the others had every
    // chance to call back.
    Outcome<QJsonObject> later;
    send(later);
    ASSERT_TRUE(later.wait());
    EXPECT_TRUE(later.result->ok());
    spin(50);
    EXPECT_EQ(unsent.calls, 0);
    EXPECT_EQ(inFlight.calls, 0);
    EXPECT_EQ(sim->requestCount(), 2);
}

TEST_F(TransportTest, RefusesKeysThatWouldBreakTheHeader)
{
    serve({QJsonObject{{QStringLiteral("outputText"), QStringLiteral("x")}, {QStringLiteral("repeat"), true}}});
    for (const QString& bad : {QStringLiteral("sk-abc\r\nX-Injected: 1"), QStringLiteral("sk-abc\n"),
                               QStringLiteral("sk\u0000abc")}) {
        Outcome<QJsonObject> outcome;
        ResponsesTransport::request({}, bad, QStringLiteral("Request routing"), 30, Job::start(), outcome.sink());
        ASSERT_TRUE(outcome.wait());
        EXPECT_EQ(outcome.error(),
                  QStringLiteral("The OpenAI API key contains characters that cannot be sent. Check the key."));
    }
    spin(20);
    EXPECT_EQ(sim->requestCount(), 0);
}

// The key travels only in the Authorization header: no error sentence, no log line and no
// recording of the stand-in may contain it.
TEST_F(TransportTest, KeyNeverAppearsInErrorsOrLogs)
{
    static QStringList logged;
    logged.clear();
    const QtMessageHandler previous = qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& m) {
        logged.append(m);
    });
    serve({
        QJsonObject{{QStringLiteral("match"), QStringLiteral("401")}, {QStringLiteral("status"), 401},
                    {QStringLiteral("body"), QStringLiteral("Incorrect API key provided: sk-test-****LmN")}},
        QJsonObject{{QStringLiteral("match"), QStringLiteral("garbage")}, {QStringLiteral("body"), QStringLiteral("<html>")}},
        QJsonObject{{QStringLiteral("match"), QStringLiteral("drop")}, {QStringLiteral("drop"), true}, {QStringLiteral("repeat"), true}},
        QJsonObject{{QStringLiteral("match"), QStringLiteral("slow")}, {QStringLiteral("delayMs"), 3'000}},
        QJsonObject{{QStringLiteral("match"), QStringLiteral("incomplete")},
                    {QStringLiteral("json"), jsonFrom(R"({"status":"incomplete","output":[]})")}},
    });
    QTemporaryDir dir;
    ASSERT_TRUE(sim->setRecordFile(dir.filePath(QStringLiteral("record.jsonl"))));

    QStringList errors;
    for (const char* marker : {"401", "garbage", "drop", "slow", "incomplete"}) {
        Outcome<QJsonObject> outcome;
        ResponsesTransport::request(QJsonObject{{QStringLiteral("case"), QLatin1String(marker)}},
                                    QString::fromLatin1(key), QStringLiteral("Screen reading"), 0.3, Job::start(),
                                    outcome.sink());
        ASSERT_TRUE(outcome.wait()) << marker;
        if (!outcome.result->ok()) {
            for (const KestraboError* e = &outcome.result->error(); e; e = e->underlying())
                errors.append(e->domain() + QLatin1Char(' ') + e->description());
        } else {
            const Result<QString> text = outputText(outcome.result->value());
            ASSERT_FALSE(text.ok());
            errors.append(text.error().description());
        }
    }
    qInstallMessageHandler(previous);
    sim->setRecordFile(QString());

    EXPECT_EQ(errors.size(), 5);
    QFile record(dir.filePath(QStringLiteral("record.jsonl")));
    ASSERT_TRUE(record.open(QIODevice::ReadOnly));
    const QString recording = QString::fromUtf8(record.readAll());
    EXPECT_TRUE(recording.contains(QStringLiteral("Bearer <masked")));
    for (const QString& text : errors + logged + QStringList{recording})
        EXPECT_FALSE(text.contains(QLatin1String(key))) << qPrintable(text);
}

} // namespace
} // namespace kestrabo::test
