#include "CodexTestSupport.h"
#include "platform/HostSystem.h"

#include <QDir>
#include <QFile>

#include <memory>

#include <signal.h>

using namespace kestrabo;
using namespace kestrabo::test;

namespace {

const QString kInvalid = "The Codex worker sent an invalid or oversized message.";
const QString kDisconnected = "The Codex worker is disconnected.";

using Outcome = std::shared_ptr<std::optional<Result<QJsonObject>>>;

// A channel to the stand-in with everything it reports captured.
struct Channel {
    fakecodex::FakeCodexDirectory fake;
    std::unique_ptr<CodexRPC> rpc;
    QList<QJsonObject> messages;
    QStringList failures;

    bool start(const QByteArray& scenario, const QString& executable = {})
    {
        if (!fake.isValid() || !fake.setScenario(scenario))
            return false;
        rpc = std::make_unique<CodexRPC>(executable.isEmpty() ? fake.executable() : executable,
                                         CodexWorkerProtocol::arguments(), host::processEnvironment(), fake.directory());
        rpc->onMessage = [this](const QJsonObject& message) { messages.append(message); };
        rpc->onFailure = [this](const KestraboError& error) { failures.append(error.description()); };
        return rpc->launch().ok();
    }
    Outcome request(const QString& method, int timeoutMs = 10'000)
    {
        auto outcome = std::make_shared<std::optional<Result<QJsonObject>>>();
        rpc->request(method, {}, timeoutMs, [outcome](Result<QJsonObject> result) { *outcome = std::move(result); });
        return outcome;
    }
    bool processGone() const { return eventually([this] { return !rpc->process() || !rpc->process()->processId(); }); }
};

// Waits for the request to settle; "<pending>" if it never does.
QString settled(const Outcome& done)
{
    return eventually([&] { return done->has_value(); }) ? describe(**done) : QStringLiteral("<pending>");
}

} // namespace

TEST(CodexChannel, FramesSplitAndCoalescedLinesUpToExactlyTheLimit)
{
    // Standard error is drained; 8,388,608 bytes wait without a line feed, then are accepted.
    Channel channel;
    ASSERT_TRUE(channel.start(scenario(R"(
        {"stderr": 1000000}, {"expect": "first"},
        {"raw": "{\"method\":\"one\",\"par", "newline": false}, {"sleep": 30}, {"raw": "ams\":{\"n\":1}}"},
        {"raw": "\n\n{\"method\":\"two\"}\n\n{\"id\":1,\"res", "newline": false}, {"sleep": 30},
        {"raw": "ult\":{\"ok\":true}}"},
        {"big": {"bytes": 8388608, "newline": false}}, {"sleep": 50}, {"raw": ""}, {"expect": "after", "result": {}}
    )")));
    ASSERT_EQ(settled(channel.request("first")), "<ok>");
    ASSERT_TRUE(eventually([&] { return channel.messages.size() == 3; }));
    EXPECT_EQ(channel.messages.mid(0, 2), (QList<QJsonObject>{json(R"({"method":"one","params":{"n":1}})"),
                                                              json(R"({"method":"two"})")}));
    EXPECT_EQ(channel.messages[2].value("method"), QJsonValue("fake/big"));
    EXPECT_EQ(channel.rpc->bufferedBytes(), 0);
    EXPECT_EQ(settled(channel.request("after")), "<ok>");
    EXPECT_TRUE(channel.failures.isEmpty());

    // Outgoing: exactly the limit is written, one byte more is refused.
    const qsizetype overhead = QByteArray(R"({"method":"pad","params":{"pad":""}})").size();
    const auto pad = [&](qsizetype bytes) {
        const QJsonObject params{{"pad", QString(bytes - overhead, 'p')}};
        return describe(channel.rpc->write({{"method", "pad"}, {"params", params}}));
    };
    EXPECT_EQ(pad(CodexRPC::maxMessageBytes), "<ok>");
    EXPECT_EQ(pad(CodexRPC::maxMessageBytes + 1), "The Codex message is too large.");
    ASSERT_TRUE(eventually([&] {
        const auto lines = channel.fake.receivedLines();
        return !lines.isEmpty() && lines.last().size() == CodexRPC::maxMessageBytes;
    }));
}

TEST(CodexChannel, ProtocolViolationsCloseTheChannelAndFailEveryRequest)
{
    for (const char* violation :
         {R"({"big": {"bytes": 8388609}})", R"({"big": {"bytes": 8388609, "newline": false}})",
          R"({"send": {"id": 1, "result": []}})", R"({"send": {"id": 1}})", R"({"send": {"id": true, "result": {}}})",
          R"({"send": {"result": {}}})", R"({"raw": "this is not json"})", R"({"raw": "[1,2,3]"})"}) {
        Channel channel;
        ASSERT_TRUE(channel.start(scenario(QByteArray(R"({"expect": "a"}, {"expect": "b"}, )") + violation)));
        const auto a = channel.request("a");
        EXPECT_EQ(settled(channel.request("b")), kInvalid) << violation;
        EXPECT_EQ(settled(a), kInvalid);
        EXPECT_EQ(channel.failures, QStringList{kInvalid});
        EXPECT_TRUE(channel.messages.isEmpty());
        EXPECT_EQ(describe(channel.rpc->write({{"method", "x"}})), kDisconnected);
        EXPECT_TRUE(channel.processGone());
    }
}

TEST(CodexChannel, AnswersMatchTheirRequestByIdAsReceived)
{
    Channel channel;
    ASSERT_TRUE(channel.start(scenario(QByteArray(R"(
        {"expect": "controls", "error": {"code": -32600, "message": "\u0001\u0002 \t\u200b"}},
        {"expect": "breaks", "error": {"code": -32600, "message": " line one\nline two\r\nthree\u200eend\t"}},
        {"expect": "long", "error": {"code": -32600, "message": "$LONG"}},
        {"expect": "bare", "error": {"code": -32600}}, {"expect": "slow"}, {"expect": "fast"},
        {"send": {"id": 99, "result": {}}}, {"send": {"id": "5", "result": {}}}, {"send": {"id": 5, "result": {}}},
        {"reply": {"fast": true}},
        {"serverRequest": "x/answer", "id": "abc", "context": false, "await": true},
        {"serverRequest": "x/reject", "id": 7, "context": false, "await": true},
        {"serverRequest": "x/reject", "context": false, "await": true}
    )").replace("$LONG", QByteArray(5'000, 'x')))));
    channel.rpc->onMessage = [&](const QJsonObject& message) {
        const QJsonValue id = message.value("id");
        message.value("method") == "x/answer" ? channel.rpc->respond(id, {{"done", true}}) : channel.rpc->reject(id);
    };
    // Error responses fail only their request, with Codex's message cleaned or a generic sentence.
    const QString generic = "Codex rejected a worker request. Check the installed CLI version and signed-in account.";
    const Outcome errors[] = {channel.request("controls"), channel.request("breaks"), channel.request("long"),
                              channel.request("bare")};
    EXPECT_EQ(settled(errors[0]), generic);
    EXPECT_EQ(settled(errors[1]), "Codex rejected a worker request: line one line two  three end");
    EXPECT_EQ(settled(errors[2]), "Codex rejected a worker request: " + QString(1'000, 'x'));
    EXPECT_EQ(settled(errors[3]), generic);

    // A timeout fails only its request; its late answer and unmatched ids are dropped.
    EXPECT_EQ(settled(channel.request("slow", 200)), "The Codex worker did not respond in time.");
    EXPECT_EQ(channel.rpc->pendingCount(), 0);
    const auto fast = channel.request("fast");
    ASSERT_EQ(settled(fast), "<ok>");
    EXPECT_EQ(fast->value().value(), json(R"({"fast":true})"));

    // Server request ids are echoed as received, string or number, 0 included.
    ASSERT_TRUE(eventually([&] { return channel.fake.responses().size() == 3; }));
    const QByteArray rejection = R"("error":{"code":-32601,"message":"This request is not supported by Kestrabo."}})";
    EXPECT_EQ(channel.fake.responses(), (QList<QJsonObject>{json(R"({"id":"abc","result":{"done":true}})"),
                                                            json(R"({"id":7,)" + rejection),
                                                            json(R"({"id":0,)" + rejection)}));
    EXPECT_TRUE(channel.failures.isEmpty());
}

TEST(CodexChannel, ChildLeavingMidRequestFailsIt)
{
    const QString exited = "The local Codex worker exited.";
    const QString closed = "The Codex worker closed its connection.";
    // Exit and end of output race; either sentence names the close, and earlier output is delivered.
    Channel exiting;
    ASSERT_TRUE(exiting.start(scenario(R"({"expect": "a"}, {"notify": "before/exit"}, {"exit": 3})")));
    const QString error = settled(exiting.request("a"));
    EXPECT_TRUE(error == exited || error == closed) << qPrintable(error);
    EXPECT_EQ(exiting.failures, QStringList{error});
    EXPECT_EQ(exiting.messages.size(), 1);

    Channel closing;
    ASSERT_TRUE(closing.start(scenario(R"({"expect": "a"}, {"closeStdout": true})")));
    EXPECT_EQ(settled(closing.request("a")), closed);
    EXPECT_TRUE(closing.processGone());

    // The start is not awaited: a program that cannot run fails what was asked meanwhile.
    Channel missing;
    ASSERT_TRUE(missing.start(scenario(""), missing.fake.directory() + "/missing"));
    EXPECT_EQ(settled(missing.request("a")), "Could not launch the local Codex worker.");
    EXPECT_EQ(missing.failures, QStringList{"Could not launch the local Codex worker."});
}

TEST(CodexChannel, AFailedWriteClosesTheChannelAtOnce)
{
    const QString failed = "Could not communicate with the Codex worker.";
    const char* steps = R"({"expect": "a", "result": {}}, {"closeStdin": true}, {"notify": "stdin/closed"})";
    const std::function<void(Channel&)> writes[] = {
        [](Channel& c) { c.request("b", 20'000); },
        [](Channel& c) { c.rpc->respond(4, {}); },
        [](Channel& c) { c.rpc->reject("x"); },
    };
    for (const auto& write : writes) {
        Channel channel;
        ASSERT_TRUE(channel.start(scenario(steps)));
        const auto waiting = channel.request("a");
        ASSERT_EQ(settled(waiting), "<ok>");
        ASSERT_TRUE(eventually([&] { return !channel.messages.isEmpty(); }));
        const auto pending = channel.request("never-answered", 20'000);
        write(channel);
        EXPECT_TRUE(channel.rpc->isClosed());
        EXPECT_EQ(settled(pending), failed);
        EXPECT_EQ(channel.failures, QStringList{failed});
        EXPECT_EQ(describe(channel.rpc->write({{"method", "x"}})), kDisconnected);
    }
}

namespace {

// Processes of a group that still run (zombies left to a reaper count as gone).
QList<qint64> liveMembers(qint64 group)
{
    QList<qint64> members;
    for (const QFileInfo& entry : QDir("/proc").entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool numeric = false;
        const qint64 pid = entry.fileName().toLongLong(&numeric);
        QFile stat(entry.filePath() + "/stat");
        if (!numeric || !stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 2 && fields[0] != "Z" && fields[2].toLongLong() == group)
            members.append(pid);
    }
    return members;
}

} // namespace

// A close is no error: it cancels what is pending and ends the child and everything it started,
// with SIGKILL for those that ignore SIGTERM.
TEST(CodexChannel, CloseCancelsAndEndsEverythingTheChildStarted)
{
    Channel channel;
    ASSERT_TRUE(channel.start(scenario(R"({"spawn": {"ignoreTerm": true}}, {"expect": "a"})", R"(, "ignoreTerm": true)")));
    const auto a = channel.request("a");
    ASSERT_TRUE(eventually([&] {
        const auto lines = channel.fake.receivedLines();
        return std::any_of(lines.begin(), lines.end(), [](const QByteArray& line) { return line.startsWith("#spawned"); })
            && !channel.fake.receivedWithMethod("a").isEmpty();
    }));
    const qint64 group = channel.rpc->processGroup();
    ASSERT_GT(group, 0);
    EXPECT_EQ(group, channel.rpc->process()->processId());
    EXPECT_EQ(liveMembers(group).size(), 2) << "the child and the process it started share the group";

    channel.rpc->close();
    EXPECT_EQ(settled(a), "<cancelled>");
    EXPECT_TRUE(channel.failures.isEmpty());
    ASSERT_TRUE(eventually([&] { return channel.fake.hasMarker("#term"); }));
    ASSERT_TRUE(channel.processGone());
    EXPECT_EQ(channel.rpc->process()->exitStatus(), QProcess::CrashExit);
    EXPECT_EQ(settled(channel.request("b")), kDisconnected);
    EXPECT_TRUE(eventually([&] { return liveMembers(group).isEmpty(); }));
    for (const qint64 pid : liveMembers(group))
        ::kill(static_cast<pid_t>(pid), SIGKILL);
}

TEST(CodexChannel, AFloodWaitsInThePipeNotInMemory)
{
    Channel channel;
    ASSERT_TRUE(channel.start(scenario(R"({"flood": {"count": 200000, "message": {"method": "f", "params": {"n": 12345}}}},
                                           {"notify": "last"})")));
    qsizetype largest = 0;
    int count = 0;
    channel.rpc->onMessage = [&](const QJsonObject& message) {
        largest = std::max(largest, channel.rpc->bufferedBytes());
        count += message.value("method") == "f" ? 1 : 0;
        if (message.value("method") == "last")
            channel.messages.append(message);
    };
    ASSERT_TRUE(eventually([&] { return !channel.messages.isEmpty(); }));
    EXPECT_EQ(count, 200'000);
    EXPECT_LE(largest, CodexRPC::readChunkBytes + 64);
    EXPECT_TRUE(channel.failures.isEmpty());
}
