#include "RoutingTestSupport.h"

#include <QNetworkAccessManager>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QNetworkReply>

namespace kestrabo::test {
namespace {

TEST(OutputText, JoinsTextAndTurnsFailuresIntoSentences)
{
    const QString incomplete = QStringLiteral("The model response was incomplete. Please retry.");
    const QString none = QStringLiteral("The model returned no findings. Please retry.");
    const std::pair<QJsonObject, QString> cases[] = {
        // Text parts join across messages with one line feed; anything else adds nothing.
        {json(R"({"status":"completed","output":[{"type":"reasoning","summary":[],
            "content":[{"type":"output_text","text":"thinking"},{"type":"refusal","refusal":"no"}]},
            {"type":"message","content":[{"type":"output_text","text":"first"},{"type":"output_text","text":7}]},
            {"type":"message","content":[{"type":"output_text","text":"second"}]}]})"), "ok:first\nsecond"},
        // Surrounding blank lines stay; emptiness is judged on the trimmed text only.
        {sim::ResponsesSim::completedReply("\n Hi \n"), "ok:\n Hi \n"},
        {sim::ResponsesSim::completedReply(" \n\t"), none},
        {json(R"({"status":"completed","output":[{"type":"message","content":["x"]}]})"), none},
        {json(R"({"status":"incomplete","output":[{"type":"message","content":[{"type":"output_text","text":"x"}]}]})"),
         incomplete},
        {json(R"({"status":"completed","output":[{"type":"message","content":[]},"stray"]})"), incomplete},
        // A refusal wins over text beside it, even in another message.
        {json(R"({"status":"completed","output":[{"type":"message","content":[{"type":"output_text","text":"Sure"}]},
            {"type":"message","content":[{"type":"refusal","refusal":"No."}]}]})"),
         "The model could not help with this request."},
    };
    for (const auto& [reply, expected] : cases) {
        const Result<QString> text = ResponsesTransport::outputText(reply);
        EXPECT_EQ(text ? "ok:" + text.value() : text.error().description(), expected) << qPrintable(expected);
    }
}

using TransportTest = ResponsesSimTest;

void send(Outcome<QJsonObject>& outcome, const char* marker, const Job& job = Job::start(), double timeout = 30)
{
    ResponsesTransport::request(QJsonObject{{"case", marker}}, QString::fromLatin1(kKey),
                                QStringLiteral("Request routing"), timeout, job, outcome.sink());
}

TEST_F(TransportTest, SendsTheBodyWithExactlyTwoHeaders)
{
    serve(R"([{"json":{"status":"completed","id":"r1"}}])");
    Outcome<QJsonObject> outcome;
    send(outcome, "hello");
    ASSERT_TRUE(outcome.wait());
    EXPECT_EQ(outcome.result->value(), json(R"({"status":"completed","id":"r1"})")) << qPrintable(outcome.error());

    const sim::ReceivedRequest request = sim->received().value(0);
    EXPECT_EQ(request.method + ' ' + request.path + ' ' + request.body, R"(POST /v1/responses {"case":"hello"})");
    EXPECT_EQ(request.header("Authorization"), QByteArray("Bearer ") + kKey);
    EXPECT_EQ(request.header("Content-Type"), "application/json");

    // One manager for every request, keeping no cookies and no cache.
    QNetworkAccessManager* manager = ResponsesTransport::session();
    EXPECT_EQ(manager, ResponsesTransport::session());
    EXPECT_EQ(manager->cache(), nullptr);
    manager->cookieJar()->setCookiesFromUrl({QNetworkCookie("a", "b")}, sim->endpoint());
    EXPECT_TRUE(manager->cookieJar()->cookiesForUrl(sim->endpoint()).isEmpty());
}

// A failure is a sentence naming the purpose, or a transport or parser error in its own
// domain; neither they nor any log line contain the key.
TEST_F(TransportTest, FailuresBecomeSentencesWithoutTheKey)
{
    static QStringList logged;
    logged.clear();
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& m) { logged.append(m); });
    // Qt sends a request again once when the connection closes before any answer.
    // Every status outside 2xx is the one sentence, whatever Qt made of it: a proxy's 407, a
    // redirect to another origin (refused, the key must not follow it), an unfollowed 304.
    serve(R"([{"match":"401","status":401,"body":"Incorrect API key provided: sk-test-****LmN"},
              {"match":"503","status":503,"json":{"error":{"message":"The engine is overloaded."}}},
              {"match":"407","status":407}, {"match":"304","status":304},
              {"match":"elsewhere","status":307,"location":"http://127.0.0.1:9/v1/responses"},
              {"match":"array","json":[1,2]}, {"match":"html","body":"<html>"},
              {"match":"drop","drop":true,"repeat":true}, {"match":"slow","delayMs":5000}])");
    const QString network = QString::fromLatin1(ResponsesTransport::networkDomain) + QStringLiteral(" %1");
    const std::pair<const char*, QString> cases[] = {
        {"401", "Request routing failed (HTTP 401). Check OpenAI access and billing."},
        {"503", "Request routing failed (HTTP 503). Check OpenAI access and billing."},
        {"407", "Request routing failed (HTTP 407). Check OpenAI access and billing."},
        {"304", "Request routing failed (HTTP 304). Check OpenAI access and billing."},
        {"elsewhere", "Request routing failed (HTTP 307). Check OpenAI access and billing."},
        {"array", "Request routing returned an unexpected response."},
        {"html", QStringLiteral("QJsonParseError %1").arg(QJsonParseError::IllegalValue)},
        {"drop", network.arg(QNetworkReply::RemoteHostClosedError)},
        {"slow", network.arg(QNetworkReply::TimeoutError)},
    };
    QStringList texts;
    for (const auto& [marker, expected] : cases) {
        Outcome<QJsonObject> outcome;
        send(outcome, marker, Job::start(), QByteArray(marker) == "slow" ? 0.3 : 30);
        ASSERT_TRUE(outcome.wait() && !outcome.result->ok()) << marker;
        const KestraboError& error = outcome.result->error();
        const bool sentence = error.domain() == QLatin1String(KestraboError::messageDomain);
        EXPECT_EQ(sentence ? error.description() : error.domain() + QStringLiteral(" %1").arg(error.code()), expected);
        for (const KestraboError* e = &error; e; e = e->underlying())
            texts.append(e->domain() + QLatin1Char(' ') + e->description());
        // The server's own words stay behind the sentence for diagnostics.
        if (QByteArray(marker) == "503") {
            EXPECT_EQ(error.underlying() ? error.underlying()->description() : QString(), "The engine is overloaded.");
        }
    }
    qInstallMessageHandler(previous);
    for (const QString& text : texts + logged)
        EXPECT_FALSE(text.contains(QLatin1String(kKey))) << qPrintable(text);
}

TEST_F(TransportTest, FollowsARedirectOnlyWithinTheSameOrigin)
{
    serve(R"([{"match":"moved","status":307,"location":"/moved/v1/responses"}, {"match":"moved","json":{"status":"completed"}}])");
    Outcome<QJsonObject> outcome;
    send(outcome, "moved");
    ASSERT_TRUE(outcome.wait());
    EXPECT_EQ(outcome.error(), QString());
    ASSERT_EQ(sim->requestCount(), 2);
    EXPECT_EQ(sim->received()[1].path, "/moved/v1/responses");
    EXPECT_EQ(sim->received()[1].header("Authorization"), QByteArray("Bearer ") + kKey);
}

TEST_F(TransportTest, CancelledCallerNeverHearsBack)
{
    serve(R"([{"delayMs":300,"outputText":"late","repeat":true}])");
    Job early = Job::start();
    early.cancel();
    Outcome<QJsonObject> unsent;
    send(unsent, "early", early);

    // Cancelled in flight: the reply is dropped and the connection given up.
    Job job = Job::start();
    Outcome<QJsonObject> inFlight;
    send(inFlight, "in flight", job);
    ASSERT_TRUE(waitUntil([&] { return sim->requestCount() == 1; }));
    job.cancel();
    EXPECT_TRUE(waitUntil([&] { return sim->openConnections() == 0; }));

    // A later request still completes; by then the others had every chance to call back.
    Outcome<QJsonObject> later;
    send(later, "later");
    ASSERT_TRUE(later.wait());
    EXPECT_TRUE(later.result->ok());
    spin(50);
    EXPECT_FALSE(unsent.result || inFlight.result);
    EXPECT_EQ(sim->requestCount(), 2);
}

TEST_F(TransportTest, RefusesKeysThatWouldBreakTheHeader)
{
    serve(R"([{"outputText":"x","repeat":true}])");
    for (const QString& bad :
         {QStringLiteral("sk-abc\r\nX-Injected: 1"), QStringLiteral("sk\u0000abc"), QStringLiteral("sk\tabc")}) {
        Outcome<QJsonObject> outcome;
        ResponsesTransport::request({}, bad, QStringLiteral("Request routing"), 30, Job::start(), outcome.sink());
        ASSERT_TRUE(outcome.wait());
        EXPECT_EQ(outcome.error(), "The OpenAI API key contains characters that cannot be sent. Check the key.");
    }
    spin(20);
    EXPECT_EQ(sim->requestCount(), 0);
}

} // namespace
} // namespace kestrabo::test
