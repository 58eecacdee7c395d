#include "live-sim/LiveSim.h"

#include "core/ApiBase.h"
#include "core/Json.h"
#include "support/TestSupport.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkRequest>
#include <QProcess>
#include <QTemporaryDir>
#include <QWebSocket>
#include <QtEndian>

#include <gtest/gtest.h>

using kestrabo::sim::LiveSim;
namespace json = kestrabo::json;
namespace test = kestrabo::test;

namespace {

QJsonObject event(const char* type, QJsonObject fields = {})
{
    fields.insert(QStringLiteral("type"), QString::fromLatin1(type));
    return fields;
}

QJsonObject object(const char* text)
{
    return QJsonDocument::fromJson(text).object();
}

// A plain WebSocket client that keeps every frame it receives, in order.
struct Client {
    struct Frame {
        bool binary = false;
        QByteArray data;
        QString type() const
        {
            const auto value = json::parse(data);
            return value && value->isObject() ? json::type(value->toObject()) : QString::fromUtf8(data);
        }
        QJsonObject object() const { return QJsonDocument::fromJson(data).object(); }
    };

    QWebSocket socket;
    QList<Frame> frames;
    int closeCode = -1;

    Client()
    {
        QObject::connect(&socket, &QWebSocket::textMessageReceived, &socket,
                         [this](const QString& text) { frames.append({false, text.toUtf8()}); });
        QObject::connect(&socket, &QWebSocket::binaryMessageReceived, &socket,
                         [this](const QByteArray& data) { frames.append({true, data}); });
        QObject::connect(&socket, &QWebSocket::disconnected, &socket,
                         [this] { closeCode = socket.closeCode(); });
    }

    bool open(const QUrl& url, const QByteArray& authorization)
    {
        QNetworkRequest request(url);
        request.setRawHeader("Authorization", authorization);
        socket.open(request);
        return test::waitUntil([this] { return socket.state() == QAbstractSocket::ConnectedState; });
    }
    void send(const QJsonObject& object) { socket.sendTextMessage(QString::fromUtf8(json::compact(object))); }
    QStringList types() const
    {
        QStringList result;
        for (const Frame& frame : frames)
            result.append(frame.type());
        return result;
    }
    bool waitFor(const QString& type, int count = 1)
    {
        return test::waitUntil([&] { return types().count(type) >= count; });
    }
    bool waitClosed() { return test::waitUntil([this] { return closeCode >= 0; }); }
};

void writeWav(const QString& path, const QByteArray& pcm, quint32 rate = 24'000, quint16 channels = 1)
{
    QByteArray header("RIFF\0\0\0\0WAVEfmt \x10\0\0\0", 20);
    const auto put16 = [&header](quint16 v) { header.append(reinterpret_cast<const char*>(&v), 2); };
    const auto put32 = [&header](quint32 v) { header.append(reinterpret_cast<const char*>(&v), 4); };
    put16(1);
    put16(channels);
    put32(rate);
    put32(rate * channels * 2);
    put16(quint16(channels * 2));
    put16(16);
    header.append("data");
    put32(quint32(pcm.size()));
    qToLittleEndian<quint32>(quint32(header.size() + pcm.size() - 8), header.data() + 4);
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(header + pcm);
}

QByteArray rampPcm(int bytes)
{
    QByteArray pcm(bytes, Qt::Uninitialized);
    for (int i = 0; i < bytes; ++i)
        pcm[i] = char(i * 7);
    return pcm;
}

} // namespace

TEST(LiveSim, RecordsEventsWithAuthorizationAndGivesTheDefaultReplies)
{
    QTemporaryDir dir;
    LiveSim sim(object(R"({"usageSeconds": 7.5})"));
    const quint16 port = sim.start();
    ASSERT_NE(port, 0) << sim.errorString().toStdString();
    ASSERT_TRUE(sim.setRecordFile(dir.filePath(QStringLiteral("record.jsonl"))));
    EXPECT_EQ(sim.baseUrl(), QUrl(QStringLiteral("http://127.0.0.1:%1/v1").arg(port)));
    // The application derives its socket URL from the base the stand-in prints.
    EXPECT_EQ(kestrabo::api::liveEndpoint(sim.baseUrl()), sim.endpoint());

    Client a;
    ASSERT_TRUE(a.open(sim.endpoint(), "Bearer sk-one"));
    a.send(event("session.start"));
    a.send(event("session.thinking.append", {{QStringLiteral("content"), QStringLiteral("hello")}}));
    a.socket.sendTextMessage(QStringLiteral("not json"));
    a.send(event("session.close"));
    ASSERT_TRUE(a.waitFor(QStringLiteral("session.closed")));
    EXPECT_EQ(a.types(), QStringList({QStringLiteral("session.started"), QStringLiteral("session.closed")}));
    EXPECT_EQ(a.frames.last().object()[u"usage"][u"seconds"].toDouble(), 7.5);

    const QList<kestrabo::sim::ReceivedEvent> received = sim.received();
    ASSERT_EQ(received.size(), 4);
    QStringList types;
    for (const auto& entry : received) {
        EXPECT_EQ(entry.connection, 1);
        EXPECT_EQ(entry.authorization, "Bearer sk-one");
        types.append(json::type(entry.event));
    }
    EXPECT_EQ(types, QStringList({QStringLiteral("session.start"), QStringLiteral("session.thinking.append"),
                                  QString(), QStringLiteral("session.close")}));
    EXPECT_EQ(received[2].event[u"invalid"], true);
    EXPECT_EQ(received[2].event[u"text"], QStringLiteral("not json"));
    EXPECT_EQ(sim.received(QStringLiteral("session.thinking.append")).value(0)[u"content"], QStringLiteral("hello"));

    // A second connection is numbered on; direct sends go to the newest one.
    Client b;
    ASSERT_TRUE(b.open(sim.endpoint(), "Bearer sk-two"));
    b.send(event("session.start"));
    ASSERT_TRUE(b.waitFor(QStringLiteral("session.started")));
    EXPECT_EQ(sim.received().last().connection, 2);
    EXPECT_EQ(sim.received().last().authorization, "Bearer sk-two");
    EXPECT_EQ(sim.connectionCount(), 2);
    EXPECT_EQ(sim.openConnections(), 2);
    sim.send(event("pushed"));
    sim.sendText(QStringLiteral("[1]"));
    sim.sendBinary(json::compact(event("binary.pushed")));
    ASSERT_TRUE(b.waitFor(QStringLiteral("binary.pushed")));
    EXPECT_EQ(b.types().mid(1), QStringList({QStringLiteral("pushed"), QStringLiteral("[1]"),
                                             QStringLiteral("binary.pushed")}));
    EXPECT_TRUE(b.frames.last().binary);
    EXPECT_EQ(a.frames.size(), 2);

    sim.closeConnections(4002);
    ASSERT_TRUE(a.waitClosed() && b.waitClosed());
    EXPECT_EQ(a.closeCode, 4002);
    EXPECT_EQ(b.closeCode, 4002);
    EXPECT_TRUE(test::waitUntil([&] { return sim.openConnections() == 0; }));

    // Any other path is refused with a policy violation and is not counted.
    Client stray;
    stray.socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/v1/realtime").arg(port)));
    ASSERT_TRUE(stray.waitClosed());
    EXPECT_EQ(stray.closeCode, 1008);
    EXPECT_EQ(sim.connectionCount(), 2);

    QFile record(dir.filePath(QStringLiteral("record.jsonl")));
    ASSERT_TRUE(record.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = record.readAll().trimmed().split('\n');
    ASSERT_EQ(lines.size(), 5);
    EXPECT_EQ(QJsonDocument::fromJson(lines[0]).object(),
              object(R"({"connection":1,"authorization":"Bearer sk-one","event":{"type":"session.start"}})"));
    EXPECT_EQ(QJsonDocument::fromJson(lines[4]).object()[u"connection"], 2);

    // Both replies can be turned off; a later reply proves nothing else was sent.
    LiveSim quiet(object(R"({"sendStarted": false, "closeReply": false,
                             "rules": [{"on": "ping", "steps": [{"send": {"type": "pong"}}]}]})"));
    ASSERT_NE(quiet.start(), 0);
    Client c;
    ASSERT_TRUE(c.open(quiet.endpoint(), "Bearer sk"));
    c.send(event("session.start"));
    c.send(event("session.close"));
    c.send(event("ping"));
    ASSERT_TRUE(c.waitFor(QStringLiteral("pong")));
    EXPECT_EQ(c.types(), QStringList{QStringLiteral("pong")});
}

TEST(LiveSim, RulesRunTheirStepsInOrderWithoutBlockingOtherEvents)
{
    QTemporaryDir dir;
    const QByteArray pcm = rampPcm(12'000); // 250 ms
    writeWav(dir.filePath(QStringLiteral("tone.wav")), pcm);
    LiveSim sim(object(R"({"rules": [
        {"on": "connect", "steps": [{"send": {"type": "hello"}}]},
        {"on": "session.commentary.append", "contentContains": "weather", "steps": [
            {"transcript": {"speaker": "user", "text": "Weather?", "startMs": 0, "endMs": 900, "eventId": "u1"}},
            {"transcript": {"speaker": "assistant", "text": "Sunny.", "startMs": 1000, "endMs": 1500}},
            {"delegation": {"id": "d1", "target": "client"}},
            {"usage": 3.5},
            {"error": {"code": "rate_limited"}},
            {"sendBinary": {"type": "binary.event"}},
            {"sendRaw": "not json"},
            {"sendRaw": "[1,2]"},
            {"audio": "tone.wav", "chunkMs": 100},
            {"delayMs": 500},
            {"send": {"type": "after.delay"}},
            {"close": 4001},
            {"send": {"type": "never"}}]},
        {"on": "ping", "once": true, "steps": [{"send": {"type": "pong.first"}}]},
        {"on": "ping", "steps": [{"send": {"type": "pong"}}]},
        {"on": "probe", "steps": [{"send": {"type": "probe.ack"}}]}]})"),
               dir.path());
    ASSERT_NE(sim.start(), 0) << sim.errorString().toStdString();

    Client client;
    ASSERT_TRUE(client.open(sim.endpoint(), "Bearer sk"));
    ASSERT_TRUE(client.waitFor(QStringLiteral("hello")));
    client.send(event("ping"));
    client.send(event("ping"));
    ASSERT_TRUE(client.waitFor(QStringLiteral("pong"), 2));
    client.send(event("session.commentary.append", {{QStringLiteral("content"), QStringLiteral("no match")}}));
    client.send(event("session.commentary.append", {{QStringLiteral("content"), QStringLiteral("the weather")}}));
    ASSERT_TRUE(client.waitFor(QStringLiteral("session.output_audio.delta"), 3));
    client.send(event("probe")); // answered while the delay runs
    ASSERT_TRUE(client.waitClosed());
    EXPECT_EQ(client.closeCode, 4001);

    const QString audio = QStringLiteral("session.output_audio.delta");
    EXPECT_EQ(client.types(),
              QStringList({QStringLiteral("hello"), QStringLiteral("pong.first"), QStringLiteral("pong"),
                           QStringLiteral("pong"), QStringLiteral("session.input_transcript.delta"),
                           QStringLiteral("session.output_transcript.delta"),
                           QStringLiteral("session.delegation.created"), QStringLiteral("session.usage.updated"),
                           QStringLiteral("error"), QStringLiteral("binary.event"), QStringLiteral("not json"),
                           QStringLiteral("[1,2]"), audio, audio, audio, QStringLiteral("probe.ack"),
                           QStringLiteral("after.delay")}));
    const auto& f = client.frames;
    EXPECT_EQ(f[4].object(), object(R"({"type":"session.input_transcript.delta","delta":"Weather?",
                                        "start_ms":0,"end_ms":900,"event_id":"u1"})"));
    EXPECT_EQ(f[5].object(), object(R"({"type":"session.output_transcript.delta","delta":"Sunny.",
                                        "start_ms":1000,"end_ms":1500})"));
    EXPECT_EQ(f[6].object()[u"delegation"].toObject(), object(R"({"id":"d1","target":"client"})"));
    EXPECT_EQ(f[7].object()[u"usage"][u"seconds"].toDouble(), 3.5);
    EXPECT_EQ(f[8].object()[u"error"][u"code"], QStringLiteral("rate_limited"));
    EXPECT_TRUE(f[9].binary);
    EXPECT_FALSE(f[10].binary);
    QByteArray played;
    QList<qsizetype> sizes;
    for (int i = 12; i < 15; ++i) {
        const QByteArray chunk = QByteArray::fromBase64(f[i].object()[u"delta"].toString().toLatin1());
        sizes.append(chunk.size());
        played += chunk;
    }
    EXPECT_EQ(sizes, QList<qsizetype>({4800, 4800, 2400}));
    EXPECT_EQ(played, pcm);
}

TEST(LiveSim, RejectsUnusableScenariosWithClearReasons)
{
    QTemporaryDir dir;
    writeWav(dir.filePath(QStringLiteral("tone.wav")), rampPcm(480));
    writeWav(dir.filePath(QStringLiteral("stereo16k.wav")), rampPcm(480), 16'000, 2);
    QFile(dir.filePath(QStringLiteral("fake.wav"))).open(QIODevice::WriteOnly);

    const struct {
        const char* scenario;
        const char* reason;
    } cases[] = {
        {R"({"rules": [{"on": "x", "steps": [{"dance": 1}]}]})", "rule 1, step 1: unknown step \"dance\""},
        {R"({"rules": [{"on": "x", "steps": [{"delayMs": "soon"}]}]})", "\"delayMs\" must be a whole number"},
        {R"({"rules": [{"on": "x", "steps": [{"send": {}, "delayMs": 5}]}]})", "one action"},
        {R"({"rules": [{"on": "x", "steps": [{"sendRaw": 3}]}]})", "\"sendRaw\" must be a string"},
        {R"({"rules": [{"on": "x", "steps": [{"close": 99}]}]})", "close code from 1000"},
        {R"({"rules": [{"on": "x", "steps": [{"usage": "3"}]}]})", "\"usage\" must be a number"},
        {R"({"rules": [{"on": "x", "steps": [{"transcript": {"speaker": "bot", "text": "x"}}]}]})",
         "\"speaker\" must be"},
        {R"({"rules": [{"on": "x", "steps": [{"audio": "missing.wav"}]}]})", "no such file"},
        {R"({"rules": [{"on": "x", "steps": [{"audio": "fake.wav"}]}]})", "not a WAV file"},
        {R"({"rules": [{"on": "x", "steps": [{"audio": "stereo16k.wav"}]}]})",
         "must be 16-bit PCM, mono, 24000 Hz; it is 16-bit, 2 channel(s), 16000 Hz"},
        {R"({"rules": [{"on": "x", "steps": [{"audio": "tone.wav", "chunkMs": 0}]}]})", "\"chunkMs\""},
        {R"({"rules": [{"on": "x", "steps": [], "onec": true}]})", "rule 1: unknown key \"onec\""},
        {R"({"rules": [{"on": "x"}, {"steps": []}]})", "rule 1: \"steps\" must be an array"},
        {R"({"rules": [{"steps": []}]})", "rule 1: \"on\" must be"},
        {R"({"rules": {}})", "\"rules\" must be an array"},
        {R"({"sendStarted": 1})", "\"sendStarted\" must be true or false"},
        {R"({"usageSeconds": -1})", "\"usageSeconds\" must be a number"},
        {R"({"sendstarted": true})", "unknown scenario key \"sendstarted\""},
    };
    for (const auto& c : cases) {
        const QString reason = LiveSim::validateScenario(object(c.scenario), dir.path());
        EXPECT_TRUE(reason.contains(QLatin1String(c.reason))) << c.scenario << " gave: " << reason.toStdString();
    }
    EXPECT_EQ(LiveSim::validateScenario(
                  object(R"({"rules": [{"on": "x", "steps": [{"audio": "tone.wav", "chunkMs": 5}]}]})"), dir.path()),
              QString());

    // Files: relative audio resolves against the file's folder; the shipped demo loads.
    QString error;
    const auto write = [&](const char* name, const QByteArray& text) {
        QFile file(dir.filePath(QLatin1String(name)));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
        return file.fileName();
    };
    EXPECT_FALSE(LiveSim::loadScenario(dir.filePath(QStringLiteral("absent.json")), &error));
    EXPECT_TRUE(error.contains(QLatin1String("no such file"))) << error.toStdString();
    EXPECT_FALSE(LiveSim::loadScenario(write("broken.json", "{\"rules\": ["), &error));
    EXPECT_TRUE(error.contains(QLatin1String("not valid JSON"))) << error.toStdString();
    EXPECT_FALSE(LiveSim::loadScenario(write("array.json", "[]"), &error));
    EXPECT_TRUE(error.contains(QLatin1String("must be a JSON object"))) << error.toStdString();
    EXPECT_FALSE(LiveSim::loadScenario(write("step.json", R"({"rules":[{"on":"x","steps":[{"stall":false}]}]})"), &error));
    EXPECT_TRUE(error.contains(QLatin1String("rule 1, step 1: \"stall\" must be true"))) << error.toStdString();
    EXPECT_TRUE(LiveSim::loadScenario(write("ok.json", R"({"rules":[{"on":"x","steps":[{"audio":"tone.wav"}]}]})"),
                                      &error));
    EXPECT_TRUE(LiveSim::loadScenario(QStringLiteral(KESTRABO_SOURCE_DIR "/tools/live-sim/scenarios/demo.json"), &error))
        << error.toStdString();

    // An unusable scenario or a busy port makes start() fail with the reason.
    LiveSim invalid(object(R"({"rules": 3})"));
    EXPECT_EQ(invalid.start(), 0);
    EXPECT_TRUE(invalid.errorString().startsWith(QLatin1String("Invalid scenario:")));
    LiveSim first;
    const quint16 port = first.start();
    ASSERT_NE(port, 0);
    LiveSim second;
    EXPECT_EQ(second.start(port), 0);
    EXPECT_TRUE(second.errorString().startsWith(QStringLiteral("Cannot listen on 127.0.0.1:%1:").arg(port)))
        << second.errorString().toStdString();
}

TEST(LiveSim, StallingStopsReadingUntilResumedAndStopStillReturns)
{
    LiveSim sim(object(R"({"rules": [{"on": "stall.please", "steps": [
        {"send": {"type": "stalling"}}, {"stall": true}, {"send": {"type": "never"}}]}]})"));
    ASSERT_NE(sim.start(), 0);
    const QByteArray megabyte(1 << 20, 'x');
    const auto flood = [&megabyte](Client& client) {
        for (int i = 0; i < 6; ++i)
            client.socket.sendBinaryMessage(megabyte);
        // Let the kernel take all it will; what remains must stay queued at the client.
        qint64 previous = -1;
        test::waitUntil([&] {
            const qint64 now = client.socket.bytesToWrite();
            test::spin(100);
            return std::exchange(previous, now) == now;
        });
    };

    Client client;
    ASSERT_TRUE(client.open(sim.endpoint(), "Bearer sk"));
    client.send(event("session.start"));
    ASSERT_TRUE(client.waitFor(QStringLiteral("session.started")));
    sim.setStalled(true);
    flood(client);
    EXPECT_GT(client.socket.bytesToWrite(), 0);
    EXPECT_EQ(sim.received().size(), 1);

    sim.setStalled(false);
    EXPECT_TRUE(test::waitUntil([&] { return client.socket.bytesToWrite() == 0; }));
    EXPECT_TRUE(test::waitUntil([&] { return sim.received().size() == 7; }));
    EXPECT_EQ(sim.received().last().event[u"bytes"], 1 << 20);

    // A stall step holds the server the same way; stop() ends it and drops the rest. A fresh
    // connection, since the kernel has grown the first one's receive buffer by now.
    Client second;
    ASSERT_TRUE(second.open(sim.endpoint(), "Bearer sk"));
    second.send(event("stall.please"));
    ASSERT_TRUE(second.waitFor(QStringLiteral("stalling")));
    flood(second);
    EXPECT_GT(second.socket.bytesToWrite(), 0);
    sim.stop();
    EXPECT_TRUE(client.waitClosed() && second.waitClosed());
    EXPECT_FALSE(second.types().contains(QStringLiteral("never")));
    EXPECT_EQ(sim.openConnections(), 0);
}

TEST(LiveSim, ProgramPrintsItsBaseUrlServesTheDemoAndStopsOnSigterm)
{
    const QString program = QStringLiteral(KESTRABO_BINARY_DIR "/tools/live-sim/kestrabo-live-sim");
    if (!QFile::exists(program))
        GTEST_SKIP() << "kestrabo-live-sim is not built";
    QTemporaryDir dir;
    const QString record = dir.filePath(QStringLiteral("record.jsonl"));

    QProcess sim;
    sim.start(program, {QStringLiteral("--scenario"),
                        QStringLiteral(KESTRABO_SOURCE_DIR "/tools/live-sim/scenarios/demo.json"),
                        QStringLiteral("--record"), record});
    ASSERT_TRUE(sim.waitForStarted());
    ASSERT_TRUE(test::waitUntil([&] { return sim.canReadLine(); }));
    const QByteArray line = sim.readLine().trimmed();
    ASSERT_TRUE(line.startsWith("OPENAI_BASE_URL=http://127.0.0.1:")) << line.toStdString();
    const QUrl base(QString::fromUtf8(line.mid(int(qstrlen("OPENAI_BASE_URL=")))));

    Client client;
    ASSERT_TRUE(client.open(kestrabo::api::liveEndpoint(base), "Bearer sk-cli"));
    client.send(event("session.start"));
    ASSERT_TRUE(client.waitFor(QStringLiteral("session.output_audio.delta"), 5));
    EXPECT_EQ(client.types().mid(0, 2), QStringList({QStringLiteral("session.started"),
                                                     QStringLiteral("session.output_transcript.delta")}));
    client.send(event("session.close"));
    ASSERT_TRUE(client.waitFor(QStringLiteral("session.closed")));
    EXPECT_EQ(client.frames.last().object()[u"usage"][u"seconds"].toDouble(), 9.5);

    // A busy port and a missing scenario are usage errors.
    QProcess busy;
    busy.start(program, {QStringLiteral("--scenario"),
                         QStringLiteral(KESTRABO_SOURCE_DIR "/tools/live-sim/scenarios/demo.json"),
                         QStringLiteral("--port"), QString::number(base.port())});
    ASSERT_TRUE(busy.waitForFinished());
    EXPECT_EQ(busy.exitCode(), 2);
    EXPECT_TRUE(busy.readAllStandardError().contains("Cannot listen on 127.0.0.1:"));
    QProcess missing;
    missing.start(program, {QStringLiteral("--scenario"), dir.filePath(QStringLiteral("none.json"))});
    ASSERT_TRUE(missing.waitForFinished());
    EXPECT_EQ(missing.exitCode(), 2);
    EXPECT_TRUE(missing.readAllStandardError().contains("no such file"));

    sim.terminate();
    ASSERT_TRUE(sim.waitForFinished());
    EXPECT_EQ(sim.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(sim.exitCode(), 0) << sim.readAllStandardError().toStdString();
    QFile file(record);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().trimmed().split('\n');
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(QJsonDocument::fromJson(lines[1]).object(),
              object(R"({"connection":1,"authorization":"Bearer sk-cli","event":{"type":"session.close"}})"));
}
