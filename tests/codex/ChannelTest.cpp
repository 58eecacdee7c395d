#include "CodexTestSupport.h"

#include <QJsonArray>

using namespace kestrabo;
using namespace kestrabo::test;

namespace {

const QString kInvalid = "The Codex worker sent an invalid or oversized message.";
const QString kGeneric = "Codex rejected a worker request. Check the installed CLI version and signed-in account.";

} // namespace

TEST(CodexChannel, FramesSplitAndCoalescedMessagesAndDrainsStandardError)
{
    ChannelFixture channel;
    ASSERT_TRUE(channel.start(scenario(R"(
        {"stderr": 1000000},
        {"expect": "first"},
        {"raw": "{\"method\":\"one\",\"par", "newline": false},
        {"sleep": 30},
        {"raw": "ams\":{\"n\":1}}", "newline": true},
        {"raw": "\n\n{\"method\":\"two\"}\n\n{\"method\":\"three\",\"id\":0}\n{\"id\":1,\"res", "newline": false},
        {"sleep": 30},
        {"raw": "ult\":{\"ok\":true}}"}
    )")));
    const auto first = channel.request("first", {{"x", 1}});
    ASSERT_TRUE(ChannelFixture::settled(first));
    ASSERT_TRUE(first->value().ok()) << qPrintable(errorOf(first));
    EXPECT_EQ(first->value().value(), (QJsonObject{{"ok", true}}));
    ASSERT_EQ(channel.messages.size(), 3);
    EXPECT_EQ(channel.messages[0].value("method"), QJsonValue("one"));
    EXPECT_EQ(channel.messages[0].value("params"), QJsonValue(QJsonObject{{"n", 1}}));
    EXPECT_EQ(channel.messages[1].value("method"), QJsonValue("two"));
    EXPECT_EQ(channel.messages[2].value("method"), QJsonValue("three"));
    EXPECT_TRUE(channel.failures.isEmpty());

    // Requests go out as {id, method, params}, with integer ids from 1 and no version member.
    ASSERT_TRUE(waitUntil([&] { return !channel.fake.receivedWithMethod("first").isEmpty(); }, kProcessWaitMs));
    EXPECT_EQ(channel.fake.receivedWithMethod("first").first(),
              (QJsonObject{{"id", 1}, {"method", "first"}, {"params", QJsonObject{{"x", 1}}}}));
}

TEST(CodexChannel, LineLimitIsExactInBothDirections)
{
    {
        // 8,388,608 bytes, first waiting without a line feed, then completed: accepted.
        ChannelFixture channel;
        ASSERT_TRUE(channel.start(scenario(R"(
            {"big": {"bytes": 8388608, "newline": false}},
            {"sleep": 50},
            {"raw": ""},
            {"expect": "after", "result": {"fine": true}}
        )")));
        ASSERT_TRUE(waitUntil([&] { return channel.messages.size() == 1; }, kProcessWaitMs));
        EXPECT_EQ(channel.messages[0].value("method"), QJsonValue("fake/big"));
        EXPECT_EQ(channel.rpc->bufferedBytes(), 0);
        const auto after = channel.request("after");
        ASSERT_TRUE(ChannelFixture::settled(after));
        EXPECT_TRUE(after->value().ok()) << qPrintable(errorOf(after));

        // Outgoing: exactly the limit is written, one byte more is refused.
        QJsonObject message{{"method", "pad"}, {"params", QJsonObject{{"pad", ""}}}};
        const qsizetype overhead = QJsonDocument(message).toJson(QJsonDocument::Compact).size();
        message["params"] = QJsonObject{{"pad", QString(CodexRPC::maxMessageBytes - overhead, 'p')}};
        EXPECT_TRUE(channel.rpc->write(message).ok());
        message["params"] = QJsonObject{{"pad", QString(CodexRPC::maxMessageBytes - overhead + 1, 'p')}};
        const Status tooLarge = channel.rpc->write(message);
        ASSERT_FALSE(tooLarge.ok());
        EXPECT_EQ(tooLarge.error().description(), QString("The Codex message is too large."));
        ASSERT_TRUE(waitUntil([&] {
            const auto lines = channel.fake.receivedLines();
            return !lines.isEmpty() && lines.last().size() == CodexRPC::maxMessageBytes;
        }, kProcessWaitMs));
    }
    for (const bool newline : {true, false}) {
        // One byte over, as a full line or as residue without a line feed: the channel closes
        // and every pending request fails with the same sentence.
        ChannelFixture channel;
        ASSERT_TRUE(channel.start(scenario(newline ? R"({"expect": "a"}, {"expect": "b"}, {"big": {"bytes": 8388609}})"
                                                   : R"({"expect": "a"}, {"expect": "b"}, {"big": {"bytes": 8388609, "newline": false}})")));
        const auto a = channel.request("a");
        const auto b = channel.request("b");
        ASSERT_TRUE(ChannelFixture::settled(a) && ChannelFixture::settled(b));
        EXPECT_EQ(errorOf(a), kInvalid);
        EXPECT_EQ(errorOf(b), kInvalid);
        ASSERT_EQ(channel.failures.size(), 1);
        EXPECT_EQ(channel.failures[0].description(), kInvalid);
        EXPECT_TRUE(channel.messages.isEmpty());
        EXPECT_TRUE(channel.rpc->isClosed());
        const Status late = channel.rpc->write({{"method", "x"}});
        EXPECT_EQ(late.error().description(), QString("The Codex worker is disconnected."));
        EXPECT_TRUE(channel.processGone());
    }
}

TEST(CodexChannel, ErrorResponsesFailOnlyTheirRequest)
{
    ChannelFixture channel;
    ASSERT_TRUE(channel.start(scenario(R"(
        {"expect": "controls", "error": {"code": -32600, "message": "\u0001\u0002 \t\u200b"}},
        {"expect": "breaks", "error": {"code": -32600, "message": "line one\nline two\r\nthree"}},
        {"expect": "long", "error": {"code": -32600, "message": "$LONG"}},
        {"expect": "bare", "error": {"code": -32600}},
        {"expect": "ok", "result": {}}
    )").replace("$LONG", QByteArray(5'000, 'x'))));
    const auto controls = channel.request("controls");
    const auto breaks = channel.request("breaks");
    const auto longMessage = channel.request("long");
    const auto bare = channel.request("bare");
    const auto ok = channel.request("ok");
    ASSERT_TRUE(ChannelFixture::settled(ok));
    EXPECT_EQ(errorOf(controls), kGeneric);
    EXPECT_EQ(errorOf(breaks), QString("Codex rejected a worker request: line one line two  three"));
    EXPECT_EQ(errorOf(longMessage), "Codex rejected a worker request: " + QString(1'000, 'x'));
    EXPECT_EQ(errorOf(bare), kGeneric);
    EXPECT_TRUE(ok->value().ok());
    EXPECT_TRUE(channel.failures.isEmpty());
}

TEST(CodexChannel, ProtocolViolationsCloseTheChannel)
{
    const char* violations[] = {
        R"({"send": {"id": 1, "result": []}})",
        R"({"send": {"id": 1}})",
        R"({"send": {"id": true, "result": {}}})",
        R"({"send": {"result": {}}})",
        R"({"raw": "this is not json"})",
        R"({"raw": "[1,2,3]"})",
    };
    for (const char* violation : violations) {
        ChannelFixture channel;
        ASSERT_TRUE(channel.start(scenario((QByteArray(R"({"expect": "a"},)") + violation).constData())));
        const auto a = channel.request("a");
        ASSERT_TRUE(ChannelFixture::settled(a)) << violation;
        EXPECT_EQ(errorOf(a), kInvalid) << violation;
        ASSERT_EQ(channel.failures.size(), 1) << violation;
        EXPECT_EQ(channel.failures[0].description(), kInvalid);
    }
}

TEST(CodexChannel, TimeoutFailsOnlyThatRequestAndUnmatchedAnswersAreDropped)
{
    ChannelFixture channel;
    ASSERT_TRUE(channel.start(scenario(R"(
        {"expect": "slow"},
        {"expect": "fast"},
        {"send": {"id": 99, "result": {}}},
        {"send": {"id": "1", "result": {}}},
        {"send": {"id": 1, "result": {"late": true}}},
        {"reply": {"fast": true}}
    )")));
    const auto slow = channel.request("slow", {}, 200);
    ASSERT_TRUE(ChannelFixture::settled(slow));
    EXPECT_EQ(errorOf(slow), QString("The Codex worker did not respond in time."));
    EXPECT_EQ(channel.rpc->pendingCount(), 0);

    const auto fast = channel.request("fast");
    ASSERT_TRUE(ChannelFixture::settled(fast));
    ASSERT_TRUE(fast->value().ok()) << qPrintable(errorOf(fast));
    EXPECT_EQ(fast->value().value(), (QJsonObject{{"fast", true}}));
    EXPECT_TRUE(channel.failures.isEmpty());
    EXPECT_FALSE(channel.rpc->isClosed());
}

TEST(CodexChannel, ServerRequestIdsAreEchoedAsReceived)
{
    ChannelFixture channel;
    ASSERT_TRUE(channel.start(scenario(R"(
        {"serverRequest": "x/answer", "id": "abc", "context": false, "await": true},
        {"serverRequest": "x/reject", "id": 7, "context": false, "await": true},
        {"serverRequest": "x/reject", "context": false, "await": true}
    )")));
    channel.rpc->onMessage = [&](const QJsonObject& message) {
        if (message.value("method") == QJsonValue("x/answer"))
            channel.rpc->respond(message.value("id"), {{"done", true}});
        else
            channel.rpc->reject(message.value("id"));
    };
    ASSERT_TRUE(waitUntil([&] { return channel.fake.responses().size() == 3; }, kProcessWaitMs));
    const QJsonObject rejection{{"code", -32601}, {"message", "This request is not supported by Kestrabo."}};
    const QList<QJsonObject> responses = channel.fake.responses();
    EXPECT_EQ(responses[0], (QJsonObject{{"id", "abc"}, {"result", QJsonObject{{"done", true}}}}));
    EXPECT_EQ(responses[1], (QJsonObject{{"id", 7}, {"error", rejection}}));
    EXPECT_EQ(responses[2], (QJsonObject{{"id", 0}, {"error", rejection}}));
    EXPECT_TRUE(responses[1].value("id").isDouble());
}

TEST(CodexChannel, CloseWithoutErrorCancelsQuietly)
{
    ChannelFixture channel;
    ASSERT_TRUE(channel.start(scenario(R"({"expect": "a"})")));
    const auto a = channel.request("a");
    ASSERT_TRUE(waitUntil([&] { return !channel.fake.receivedWithMethod("a").isEmpty(); }, kProcessWaitMs));
    channel.rpc->close();
    ASSERT_TRUE(ChannelFixture::settled(a));
    ASSERT_FALSE(a->value().ok());
    EXPECT_TRUE(a->value().error().isCancellation());
    EXPECT_TRUE(channel.failures.isEmpty());
    EXPECT_TRUE(channel.processGone());
    const auto b = channel.request("b");
    ASSERT_TRUE(ChannelFixture::settled(b));
    EXPECT_EQ(errorOf(b), QString("The Codex worker is disconnected."));
}

TEST(CodexChannel, ChildIgnoringTerminateIsKilled)
{
    ChannelFixture channel;
    ASSERT_TRUE(channel.start(scenario("", R"(, "ignoreTerm": true)")));
    ASSERT_TRUE(waitUntil([&] { return channel.fake.startRecord().has_value(); }, kProcessWaitMs));
    channel.rpc->close();
    ASSERT_TRUE(waitUntil([&] { return channel.fake.hasMarker("#term"); }, kProcessWaitMs));
    ASSERT_TRUE(channel.processGone());
    EXPECT_EQ(channel.rpc->process()->exitStatus(), QProcess::CrashExit);
    EXPECT_TRUE(channel.failures.isEmpty());
}

TEST(CodexChannel, ChildLeavingMidRequestFailsIt)
{
    const QStringList endings{"The local Codex worker exited.", "The Codex worker closed its connection."};
    {
        // Exit and end of output race; either sentence names the close.
        ChannelFixture channel;
        ASSERT_TRUE(channel.start(scenario(R"({"expect": "a"}, {"notify": "before/exit"}, {"exit": 3})")));
        const auto a = channel.request("a");
        ASSERT_TRUE(ChannelFixture::settled(a));
        EXPECT_TRUE(endings.contains(errorOf(a))) << qPrintable(errorOf(a));
        ASSERT_EQ(channel.failures.size(), 1);
        EXPECT_EQ(channel.failures[0].description(), errorOf(a));
        // Output written before the exit is still delivered.
        ASSERT_EQ(channel.messages.size(), 1);
    }
    {
        ChannelFixture channel;
        ASSERT_TRUE(channel.start(scenario(R"({"expect": "a"}, {"closeStdout": true})")));
        const auto a = channel.request("a");
        ASSERT_TRUE(ChannelFixture::settled(a));
        EXPECT_EQ(errorOf(a), endings[1]);
        EXPECT_TRUE(channel.processGone());
    }
    {
        ChannelFixture channel;
        ASSERT_TRUE(channel.fake.isValid());
        channel.rpc = std::make_unique<CodexRPC>(channel.fake.directory() + "/missing", QStringList(), Environment(),
                                                 channel.fake.directory());
        channel.rpc->onFailure = [&](const KestraboError& error) { channel.failures.append(error); };
        const Status launched = channel.rpc->launch();
        ASSERT_FALSE(launched.ok());
        EXPECT_EQ(launched.error().description(), QString("Could not launch the local Codex worker."));
        ASSERT_EQ(channel.failures.size(), 1);
        EXPECT_EQ(channel.failures[0].description(), launched.error().description());
    }
}
