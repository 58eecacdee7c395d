#include "RoutingTestSupport.h"

#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>

namespace kestrabo::test {
namespace {

QByteArray post(const QByteArray& body, const QByteArray& extraHeaders = {})
{
    return "POST /v1/responses HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + QByteArray::number(body.size())
        + "\r\n" + extraHeaders + "\r\n" + body;
}

// Reads answers off a raw socket until `count` complete ones (head and Content-Length body) arrived.
QList<QByteArray> readAnswers(QTcpSocket& socket, int count)
{
    QByteArray buffer;
    QList<QByteArray> answers;
    waitUntil([&] {
        buffer += socket.readAll();
        while (true) {
            const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
            if (headEnd < 0)
                break;
            const QRegularExpressionMatch length =
                QRegularExpression(QStringLiteral("Content-Length: (\\d+)")).match(QString::fromLatin1(buffer.left(headEnd)));
            const qsizetype total = headEnd + 4 + length.captured(1).toLongLong();
            if (buffer.size() < total)
                break;
            answers.append(buffer.left(total));
            buffer.remove(0, total);
        }
        return answers.size() >= count;
    });
    return answers;
}

TEST_F(ResponsesSimTest, ServesKeepAlivePipelinedAndClosingRequests)
{
    serve({QJsonObject{{QStringLiteral("match"), QStringLiteral("vision")}, {QStringLiteral("outputText"), QStringLiteral("seen")}},
           QJsonObject{{QStringLiteral("status"), 429}, {QStringLiteral("body"), QStringLiteral("slow down")}}},
          QJsonObject{{QStringLiteral("status"), 503}, {QStringLiteral("json"), QJsonArray{}}});

    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, sim->port());
    ASSERT_TRUE(waitUntil([&] { return socket.state() == QAbstractSocket::ConnectedState; }));
    // Two requests in one write; the keyed reply goes to the body that names it, not to the first.
    socket.write(post("plain") + post("{\"vision\":1}"));
    const QList<QByteArray> first = readAnswers(socket, 2);
    ASSERT_EQ(first.size(), 2);
    EXPECT_TRUE(first[0].startsWith("HTTP/1.1 429 ")) << first[0].constData();
    EXPECT_TRUE(first[0].endsWith("\r\n\r\nslow down"));
    EXPECT_TRUE(first[1].startsWith("HTTP/1.1 200 OK\r\n"));
    EXPECT_EQ(QJsonDocument::fromJson(first[1].mid(first[1].indexOf("\r\n\r\n") + 4)).object(),
              sim::ResponsesSim::completedReply(QStringLiteral("seen")));

    // Replies used up: the default answers, and Connection: close ends the connection.
    socket.write(post("again", "Connection: close\r\n"));
    const QList<QByteArray> last = readAnswers(socket, 1);
    ASSERT_EQ(last.size(), 1);
    EXPECT_TRUE(last[0].startsWith("HTTP/1.1 503 "));
    EXPECT_TRUE(last[0].contains("Connection: close\r\n"));
    EXPECT_TRUE(waitUntil([&] { return socket.state() == QAbstractSocket::UnconnectedState; }));

    const auto received = sim->received();
    ASSERT_EQ(received.size(), 3);
    EXPECT_EQ(received[1].body, "{\"vision\":1}");
    EXPECT_EQ(received[1].connection, received[2].connection);
    EXPECT_EQ(received[2].status, 503);
}

TEST_F(ResponsesSimTest, DelayedReplyHoldsBackNoOtherConnection)
{
    serve({QJsonObject{{QStringLiteral("match"), QStringLiteral("slow")}, {QStringLiteral("delayMs"), 400},
                       {QStringLiteral("outputText"), QStringLiteral("slow")}},
           QJsonObject{{QStringLiteral("match"), QStringLiteral("quick")}, {QStringLiteral("outputText"), QStringLiteral("quick")}}});
    QStringList finished;
    for (const char* which : {"slow", "quick"}) {
        ResponsesTransport::request(QJsonObject{{QStringLiteral("which"), QLatin1String(which)}}, QStringLiteral("k"),
                                    QStringLiteral("P"), 30, Job::start(), [&finished](Result<QJsonObject> reply) {
                                        finished.append(ResponsesTransport::outputText(reply.value()).value());
                                    });
    }
    ASSERT_TRUE(waitUntil([&] { return finished.size() == 2; }));
    EXPECT_EQ(finished, (QStringList{QStringLiteral("quick"), QStringLiteral("slow")}));
}

TEST(ResponsesSimScenario, RejectsUnusableScenarios)
{
    EXPECT_TRUE(sim::ResponsesSim::validateScenario(QJsonObject{}).isEmpty());
    for (const char* text : {
             R"({"replies":{}})",
             R"({"reply":[]})",
             R"({"replies":[{"status":99}]})",
             R"({"replies":[{"status":200.5}]})",
             R"({"replies":[{"delayMs":-1}]})",
             R"({"replies":[{"body":"a","json":{}}]})",
             R"({"replies":[{"body":{}}]})",
             R"({"replies":[{"colour":"red"}]})",
             R"({"default":{"match":"x"}})",
         })
        EXPECT_FALSE(sim::ResponsesSim::validateScenario(jsonFrom(text)).isEmpty()) << text;
    sim::ResponsesSim unusable(jsonFrom(R"({"replies":[{"status":"ok"}]})"));
    EXPECT_EQ(unusable.start(), 0);
    EXPECT_FALSE(unusable.errorString().isEmpty());
}

// The program a developer or a script runs: base URL first, then it answers the example.
TEST(ResponsesSimProgram, AnnouncesItsBaseAndAnswers)
{
    const QString program = QStringLiteral(KESTRABO_BINARY_DIR "/tools/responses-sim/kestrabo-responses-sim");
    if (!QFileInfo(program).isExecutable())
        GTEST_SKIP() << "build the kestrabo-responses-sim target first";
    QTemporaryDir dir;
    QProcess process;
    process.start(program, {QStringLiteral("--scenario"),
                            QStringLiteral(KESTRABO_SOURCE_DIR "/tools/responses-sim/scenarios/screen-question.json"),
                            QStringLiteral("--record"), dir.filePath(QStringLiteral("r.jsonl"))});
    ASSERT_TRUE(process.waitForStarted());
    ASSERT_TRUE(waitUntil([&] { return process.canReadLine(); }));
    const QString first = QString::fromUtf8(process.readLine()).trimmed();
    const QRegularExpressionMatch match =
        QRegularExpression(QStringLiteral("^OPENAI_BASE_URL=(http://127\\.0\\.0\\.1:\\d+/v1)$")).match(first);
    ASSERT_TRUE(match.hasMatch()) << qPrintable(first);

    ResponsesTransport::setEndpoint(QUrl(match.captured(1) + QStringLiteral("/responses")));
    std::optional<Result<QJsonObject>> reply;
    ResponsesTransport::request(QJsonObject{{QStringLiteral("name"), QStringLiteral("question_route")}},
                                QStringLiteral("sk-program"), QStringLiteral("Request routing"), 10, Job::start(),
                                [&reply](Result<QJsonObject> r) { reply.emplace(std::move(r)); });
    const bool answered = waitUntil([&] { return reply.has_value(); });
    ResponsesTransport::setEndpoint(QUrl());
    process.terminate();
    process.waitForFinished(3'000);
    ASSERT_TRUE(answered);
    ASSERT_TRUE(reply->ok()) << qPrintable(reply->error().description());
    EXPECT_TRUE(ResponsesTransport::outputText(reply->value()).value().contains(QStringLiteral("\"route\":\"screen\"")));

    QFile record(dir.filePath(QStringLiteral("r.jsonl")));
    ASSERT_TRUE(record.open(QIODevice::ReadOnly));
    const QByteArray line = record.readLine();
    EXPECT_TRUE(line.contains("question_route"));
    EXPECT_FALSE(line.contains("sk-program"));
}

} // namespace
} // namespace kestrabo::test
