// A stand-in for `codex app-server --listen stdio://`: speaks the app-server's JSON-RPC lines on
// standard input and output and follows a JSON scenario, step by step. Everything it receives
// is recorded, one line per message, so that tests can check the exact bytes.
//
//   scenario: $KESTRABO_FAKE_CODEX_SCENARIO, else scenario.json next to the program's path
//   record:   $KESTRABO_FAKE_CODEX_RECORD, else received.jsonl next to the program's path
//
// The program's path is taken as invoked (argv[0]), not resolved, so a symbolic link named
// `codex` in a scratch directory reads and writes that directory. See README.md for the steps.

#include <QByteArray>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

int recordFd = -1;
volatile sig_atomic_t ignoreTerm = 0;
volatile sig_atomic_t stayAfterEof = 0;

std::mutex inboxMutex;
std::condition_variable inboxChanged;
std::deque<QJsonObject> inbox;
// Written to make the reader close standard input and stop (a reader blocked in read() would
// keep the pipe open even after close(0)).
int stopReaderFd = -1;
bool readerStopped = false;

// Standard output is written by the script and, for serverRequest/resolved, by the reader.
std::mutex outputMutex;
// Server requests sent with a thread, by id, waiting for the client's answer.
std::map<QString, QString> openRequests;

qint64 nowMs();

void writeOutput(const QByteArray& bytes);

// The app-server confirms every answered server request of a thread.
void resolveAnswered(const QJsonObject& response)
{
    QString thread;
    {
        std::lock_guard lock(inboxMutex);
        const auto found = openRequests.find(QJsonDocument(QJsonArray{response.value(u"id")}).toJson(QJsonDocument::Compact));
        if (found == openRequests.end())
            return;
        thread = found->second;
        openRequests.erase(found);
    }
    const QJsonObject params{{QStringLiteral("threadId"), thread}, {QStringLiteral("requestId"), response.value(u"id")}};
    QByteArray line = QJsonDocument(QJsonObject{{QStringLiteral("method"), QStringLiteral("serverRequest/resolved")},
                                                {QStringLiteral("params"), params},
                                                {QStringLiteral("emittedAtMs"), double(nowMs())}})
                          .toJson(QJsonDocument::Compact);
    line.append('\n');
    writeOutput(line);
}

void writeAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
}

void writeOutput(const QByteArray& bytes)
{
    std::lock_guard lock(outputMutex);
    writeAll(1, bytes.constData(), static_cast<size_t>(bytes.size()));
}

void record(const QByteArray& line)
{
    if (recordFd < 0)
        return;
    QByteArray bytes = line;
    bytes.append('\n');
    writeAll(recordFd, bytes.constData(), static_cast<size_t>(bytes.size()));
}

void onTerminate(int)
{
    static const char marker[] = "#term\n";
    if (recordFd >= 0) {
        const ssize_t ignored = ::write(recordFd, marker, sizeof marker - 1);
        (void)ignored;
    }
    if (!ignoreTerm)
        _exit(0);
}

void readInput()
{
    std::string pending;
    char chunk[65'536];
    int stopPipe[2] = {-1, -1};
    if (::pipe(stopPipe) == 0) {
        std::lock_guard lock(inboxMutex);
        stopReaderFd = stopPipe[1];
    }
    while (true) {
        pollfd watched[2] = {{0, POLLIN, 0}, {stopPipe[0], POLLIN, 0}};
        if (::poll(watched, stopPipe[0] >= 0 ? 2 : 1, -1) < 0 && errno == EINTR)
            continue;
        if (watched[1].revents & POLLIN) {
            ::close(0);
            record("#stdin-closed");
            std::lock_guard lock(inboxMutex);
            readerStopped = true;
            inboxChanged.notify_all();
            return;
        }
        const ssize_t count = ::read(0, chunk, sizeof chunk);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            break;
        pending.append(chunk, static_cast<size_t>(count));
        size_t start = 0;
        size_t end;
        while ((end = pending.find('\n', start)) != std::string::npos) {
            const QByteArray line(pending.data() + start, static_cast<qsizetype>(end - start));
            start = end + 1;
            record(line);
            const QJsonDocument document = QJsonDocument::fromJson(line);
            if (document.isObject()) {
                if (!document.object().contains(u"method"))
                    resolveAnswered(document.object());
                std::lock_guard lock(inboxMutex);
                inbox.push_back(document.object());
                inboxChanged.notify_all();
            }
        }
        pending.erase(0, start);
    }
    record("#eof");
    if (!stayAfterEof)
        _exit(0);
}

// Waits for the first received message that `matches`, taking it out of the inbox; messages
// before it stay for later steps.
template <class Predicate>
QJsonObject take(Predicate matches)
{
    std::unique_lock lock(inboxMutex);
    while (true) {
        for (auto it = inbox.begin(); it != inbox.end(); ++it) {
            if (matches(*it)) {
                QJsonObject found = *it;
                inbox.erase(it);
                return found;
            }
        }
        inboxChanged.wait(lock);
    }
}

qint64 nowMs()
{
    timeval now{};
    gettimeofday(&now, nullptr);
    return qint64(now.tv_sec) * 1000 + now.tv_usec / 1000;
}

QString programDirectory(const char* argv0)
{
    QString path = QString::fromLocal8Bit(argv0);
    if (!path.contains(QLatin1Char('/'))) {
        for (const QString& directory : qEnvironmentVariable("PATH").split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
            if (QFile::exists(directory + QLatin1Char('/') + path))
                return directory;
        }
        return QStringLiteral(".");
    }
    return path.left(path.lastIndexOf(QLatin1Char('/')));
}

QJsonValue substitute(const QJsonValue& value, const QString& index)
{
    if (value.isString())
        return value.toString().replace(QStringLiteral("$i"), index);
    if (value.isArray()) {
        QJsonArray array;
        for (const QJsonValue& entry : value.toArray())
            array.append(substitute(entry, index));
        return array;
    }
    if (value.isObject()) {
        QJsonObject object;
        const QJsonObject source = value.toObject();
        for (auto it = source.begin(); it != source.end(); ++it)
            object.insert(it.key(), substitute(it.value(), index));
        return object;
    }
    return value;
}

class Script {
public:
    explicit Script(QJsonObject scenario) : m_scenario(std::move(scenario)) {}

    void run() { runSteps(m_scenario.value(u"steps").toArray()); }

private:
    void send(const QJsonObject& message) { sendRaw(QJsonDocument(message).toJson(QJsonDocument::Compact), true); }

    void sendRaw(const QByteArray& bytes, bool newline)
    {
        if (newline) {
            QByteArray line = bytes;
            line.append('\n');
            writeOutput(line);
        } else {
            writeOutput(bytes);
        }
    }

    // As the app-server does, the emission time sits beside the params.
    void notify(const QString& method, const QJsonObject& params)
    {
        send({{QStringLiteral("method"), method}, {QStringLiteral("params"), params},
              {QStringLiteral("emittedAtMs"), double(nowMs())}});
    }

    QJsonObject turnObject(const QString& status, const QJsonValue& error) const
    {
        const bool done = status != u"inProgress";
        return {{QStringLiteral("id"), m_turnID},
                {QStringLiteral("status"), status},
                {QStringLiteral("items"), QJsonArray()},
                {QStringLiteral("itemsView"), QStringLiteral("summary")},
                {QStringLiteral("error"), error},
                {QStringLiteral("startedAt"), double(m_turnStartedAt)},
                {QStringLiteral("completedAt"), done ? QJsonValue(double(nowMs())) : QJsonValue(QJsonValue::Null)},
                {QStringLiteral("durationMs"), done ? QJsonValue(double(nowMs() - m_turnStartedAt)) : QJsonValue(QJsonValue::Null)}};
    }

    // What the app-server sends between our messages and the client must ignore: status,
    // usage and rate-limit updates, the user's own item, and a sub-agent's thread talking.
    void chatter()
    {
        if (!m_chatter)
            return;
        notify(QStringLiteral("thread/status/changed"),
               {{QStringLiteral("threadId"), m_threadID}, {QStringLiteral("status"), QJsonObject{{QStringLiteral("type"), QStringLiteral("active")}}}});
        notify(QStringLiteral("account/rateLimits/updated"),
               {{QStringLiteral("rateLimits"), QJsonObject{{QStringLiteral("primary"), QJsonValue::Null}}}});
        const QJsonObject user{{QStringLiteral("type"), QStringLiteral("userMessage")},
                               {QStringLiteral("id"), QStringLiteral("user_1")},
                               {QStringLiteral("content"), QJsonArray()}};
        notify(QStringLiteral("item/started"), inContext({{QStringLiteral("item"), user}}));
        notify(QStringLiteral("item/completed"), inContext({{QStringLiteral("item"), user}}));
        notify(QStringLiteral("thread/tokenUsage/updated"),
               inContext({{QStringLiteral("tokenUsage"), QJsonObject{{QStringLiteral("total"), QJsonObject()}}}}));
        notify(QStringLiteral("item/agentMessage/delta"),
               {{QStringLiteral("threadId"), QStringLiteral("thr_subagent")}, {QStringLiteral("turnId"), QStringLiteral("turn_subagent")},
                {QStringLiteral("itemId"), QStringLiteral("msg_subagent")}, {QStringLiteral("delta"), QStringLiteral("sub-agent notes")}});
    }

    // Items and questions carry the thread and the turn; the caller's own members win.
    QJsonObject inContext(QJsonObject params, bool withTurn = true) const
    {
        if (!params.contains(u"threadId"))
            params.insert(QStringLiteral("threadId"), m_threadID);
        if (withTurn && !params.contains(u"turnId"))
            params.insert(QStringLiteral("turnId"), m_turnID);
        return params;
    }

    QJsonObject expect(const QString& method)
    {
        const QJsonObject message = take([&](const QJsonObject& candidate) {
            return candidate.value(u"method").toString() == method;
        });
        m_lastID = message.value(u"id");
        m_lastRequest = message;
        return message;
    }

    void reply(const QJsonObject& result) { send({{QStringLiteral("id"), m_lastID}, {QStringLiteral("result"), result}}); }

    void replyError(const QJsonObject& error) { send({{QStringLiteral("id"), m_lastID}, {QStringLiteral("error"), error}}); }

    void awaitResponse(const QJsonValue& id)
    {
        take([&](const QJsonObject& candidate) {
            return !candidate.contains(u"method") && candidate.value(u"id") == id;
        });
    }

    // A process of Codex's own (a shell, a tool server): it stays in our process group, holds
    // none of our pipes and, if asked, ignores SIGTERM. Its pid is recorded as "#spawned".
    void spawn(const QJsonObject& options)
    {
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (options.value(u"ignoreTerm").toBool())
                ::signal(SIGTERM, SIG_IGN);
            else
                ::signal(SIGTERM, SIG_DFL);
            const int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(null, 2);
            while (true)
                ::pause();
        }
        if (pid > 0)
            record("#spawned " + QByteArray::number(pid));
    }

    // Members the app-server always sends with these requests, unless the scenario gives them.
    static QJsonObject asSent(const QString& method, QJsonObject params)
    {
        if (method == u"item/commandExecution/requestApproval" && !params.contains(u"availableDecisions"))
            params.insert(QStringLiteral("availableDecisions"),
                          QJsonArray{QStringLiteral("accept"), QStringLiteral("acceptForSession"), QStringLiteral("decline"),
                                     QStringLiteral("cancel")});
        if (method == u"item/tool/requestUserInput" && params.value(u"questions").isArray()) {
            QJsonArray questions;
            for (const QJsonValue& value : params.value(u"questions").toArray()) {
                QJsonObject question = value.toObject();
                if (value.isObject()) {
                    for (const auto& [key, fallback] : {std::pair{QStringLiteral("isOther"), QJsonValue(true)},
                                                        std::pair{QStringLiteral("isBlocking"), QJsonValue(true)},
                                                        std::pair{QStringLiteral("autoResolutionMs"), QJsonValue(QJsonValue::Null)}}) {
                        if (!question.contains(key))
                            question.insert(key, fallback);
                    }
                }
                questions.append(value.isObject() ? QJsonValue(question) : value);
            }
            params.insert(QStringLiteral("questions"), questions);
        }
        return params;
    }

    QByteArray bigLine(qint64 bytes)
    {
        if (m_bigLine.size() == bytes)
            return m_bigLine;
        const QByteArray head = R"({"method":"fake/big","params":{"pad":")";
        const QByteArray tail = R"("}})";
        const qint64 padding = std::max<qint64>(0, bytes - head.size() - tail.size());
        m_bigLine = head + QByteArray(padding, 'x') + tail;
        return m_bigLine;
    }

    void handshake(const QJsonObject& options)
    {
        m_threadID = options.value(u"threadId").toString(m_threadID);
        m_turnID = options.value(u"turnId").toString(m_turnID);
        const QString model = options.value(u"model").toString(QStringLiteral("gpt-5.6-sol"));

        expect(QStringLiteral("initialize"));
        const QString initialize = options.value(u"initialize").toString(QStringLiteral("ok"));
        if (initialize == u"silent")
            return;
        if (initialize == u"error") {
            replyError({{QStringLiteral("code"), -32600}, {QStringLiteral("message"), QStringLiteral("Not initialized")}});
            return;
        }
        m_chatter = options.value(u"chatter").toBool(true);
        reply({{QStringLiteral("userAgent"), QStringLiteral("fake-codex/0.1")},
               {QStringLiteral("codexHome"), qEnvironmentVariable("CODEX_HOME", QStringLiteral("/nonexistent/.codex"))},
               {QStringLiteral("platformFamily"), QStringLiteral("unix")},
               {QStringLiteral("platformOs"), QStringLiteral("linux")}});
        expect(QStringLiteral("initialized"));

        expect(QStringLiteral("thread/start"));
        const QString threadStart = options.value(u"threadStart").toString(QStringLiteral("ok"));
        if (threadStart == u"silent")
            return;
        if (threadStart == u"error") {
            replyError({{QStringLiteral("code"), -32600}, {QStringLiteral("message"), QStringLiteral("thread/start failed")}});
            return;
        }
        const QJsonObject params = m_lastRequest.value(u"params").toObject();
        const QJsonObject thread{{QStringLiteral("id"), m_threadID},
                                 {QStringLiteral("preview"), QString()},
                                 {QStringLiteral("ephemeral"), true},
                                 {QStringLiteral("status"), QJsonObject{{QStringLiteral("type"), QStringLiteral("idle")}}}};
        if (m_chatter) {
            notify(QStringLiteral("mcpServer/startupStatus/updated"),
                   {{QStringLiteral("name"), QStringLiteral("tools")}, {QStringLiteral("status"), QStringLiteral("ready")}});
            notify(QStringLiteral("configWarning"), {{QStringLiteral("summary"), QStringLiteral("unknown key in config.toml")}});
        }
        reply({{QStringLiteral("model"), model},
               {QStringLiteral("modelProvider"), QStringLiteral("openai")},
               {QStringLiteral("cwd"), params.value(u"cwd")},
               {QStringLiteral("approvalPolicy"), params.value(u"approvalPolicy")},
               {QStringLiteral("sandbox"), QJsonObject{{QStringLiteral("type"), QStringLiteral("dangerFullAccess")}}},
               {QStringLiteral("reasoningEffort"), QStringLiteral("high")},
               {QStringLiteral("thread"), thread}});
        if (m_chatter)
            notify(QStringLiteral("thread/started"), {{QStringLiteral("thread"), thread}});

        expect(QStringLiteral("turn/start"));
        m_turnRequest = QJsonDocument(m_lastRequest).toJson(QJsonDocument::Compact);
        if (options.value(u"turnStart").toString() == u"silent")
            return;
        m_turnStartedAt = nowMs();
        const QJsonObject turn = turnObject(QStringLiteral("inProgress"), QJsonValue::Null);
        const QJsonObject started{{QStringLiteral("threadId"), m_threadID}, {QStringLiteral("turn"), turn}};
        const bool startedFirst = options.value(u"turnStartedFirst").toBool(true);
        if (startedFirst)
            notify(QStringLiteral("turn/started"), started);
        reply(options.value(u"turnIdInResponse").toBool(true) ? QJsonObject{{QStringLiteral("turn"), turn}} : QJsonObject());
        if (!startedFirst)
            notify(QStringLiteral("turn/started"), started);
        chatter();
    }

    void runSteps(const QJsonArray& steps)
    {
        for (const QJsonValue& value : steps)
            runStep(value.toObject());
    }

    void runStep(const QJsonObject& step)
    {
        if (step.contains(u"handshake")) {
            handshake(step.value(u"handshake").toObject());
        } else if (step.contains(u"expect")) {
            expect(step.value(u"expect").toString());
            if (step.contains(u"result"))
                reply(step.value(u"result").toObject());
            else if (step.contains(u"error"))
                replyError(step.value(u"error").toObject());
        } else if (step.contains(u"reply")) {
            reply(step.value(u"reply").toObject());
        } else if (step.contains(u"replyError")) {
            replyError(step.value(u"replyError").toObject());
        } else if (step.contains(u"send")) {
            send(step.value(u"send").toObject());
        } else if (step.contains(u"raw")) {
            sendRaw(step.value(u"raw").toString().toUtf8(), step.value(u"newline").toBool(true));
        } else if (step.contains(u"notify")) {
            notify(step.value(u"notify").toString(), step.value(u"params").toObject());
        } else if (step.contains(u"delta")) {
            notify(QStringLiteral("item/agentMessage/delta"), inContext(step.value(u"delta").toObject()));
        } else if (step.contains(u"itemStarted") || step.contains(u"itemCompleted")) {
            const bool started = step.contains(u"itemStarted");
            const QJsonObject item = step.value(started ? u"itemStarted" : u"itemCompleted").toObject();
            notify(started ? QStringLiteral("item/started") : QStringLiteral("item/completed"),
                   inContext({{QStringLiteral("item"), item}}));
        } else if (step.contains(u"error")) {
            notify(QStringLiteral("error"),
                   inContext({{QStringLiteral("error"), QJsonObject{{QStringLiteral("message"), step.value(u"error").toString()}}},
                              {QStringLiteral("willRetry"), step.value(u"willRetry").toBool()}}));
        } else if (step.contains(u"modelFailure")) {
            // A failing model API: five announced retries, then the error that stands.
            for (int attempt = 1; attempt <= 5; ++attempt)
                runStep({{QStringLiteral("error"), QStringLiteral("Reconnecting... %1/5").arg(attempt)}, {QStringLiteral("willRetry"), true}});
            runStep({{QStringLiteral("error"), step.value(u"modelFailure")}, {QStringLiteral("willRetry"), false}});
        } else if (step.contains(u"complete")) {
            QJsonObject turn = turnObject(step.value(u"complete").toString(),
                                          step.contains(u"turnError")
                                              ? QJsonValue(QJsonObject{{QStringLiteral("message"), step.value(u"turnError")}})
                                              : QJsonValue(QJsonValue::Null));
            // A status that is not a string, or none at all, as a broken server might send.
            if (step.value(u"complete").isNull())
                turn.remove(QStringLiteral("status"));
            else if (!step.value(u"complete").isString())
                turn.insert(QStringLiteral("status"), step.value(u"complete"));
            notify(QStringLiteral("turn/completed"), {{QStringLiteral("threadId"), m_threadID}, {QStringLiteral("turn"), turn}});
        } else if (step.contains(u"resolved")) {
            notify(QStringLiteral("serverRequest/resolved"),
                   {{QStringLiteral("threadId"), m_threadID}, {QStringLiteral("requestId"), step.value(u"resolved")}});
        } else if (step.contains(u"serverRequest")) {
            const QJsonValue id = step.contains(u"id") ? step.value(u"id") : QJsonValue(m_nextServerID++);
            const QString method = step.value(u"serverRequest").toString();
            QJsonObject params = asSent(method, step.value(u"params").toObject());
            if (step.value(u"context").toBool(true)) {
                params = inContext(params);
                std::lock_guard lock(inboxMutex);
                openRequests[QJsonDocument(QJsonArray{id}).toJson(QJsonDocument::Compact)] = params.value(u"threadId").toString();
            }
            send({{QStringLiteral("id"), id}, {QStringLiteral("method"), step.value(u"serverRequest")},
                  {QStringLiteral("params"), params}});
            if (step.value(u"await").toBool())
                awaitResponse(id);
        } else if (step.contains(u"await")) {
            awaitResponse(step.value(u"await"));
        } else if (step.contains(u"big")) {
            const QJsonObject options = step.value(u"big").toObject();
            const QByteArray line = bigLine(options.value(u"bytes").toInteger());
            const int count = options.value(u"count").toInt(1);
            for (int i = 0; i < count; ++i)
                sendRaw(line, options.value(u"newline").toBool(true));
        } else if (step.contains(u"flood")) {
            const QJsonObject options = step.value(u"flood").toObject();
            QByteArray line = QJsonDocument(options.value(u"message").toObject()).toJson(QJsonDocument::Compact);
            line.append('\n');
            const qint64 count = options.value(u"count").toInteger();
            QByteArray batch;
            for (qint64 i = 0; i < count; ++i) {
                batch.append(line);
                if (batch.size() >= 65'536) {
                    sendRaw(batch, false);
                    batch.clear();
                }
            }
            sendRaw(batch, false);
        } else if (step.contains(u"when")) {
            // One scenario for several tasks: what a task does can depend on what it was asked.
            const bool matched = m_turnRequest.contains(step.value(u"when").toString().toUtf8());
            runSteps(step.value(matched ? u"steps" : u"otherwise").toArray());
        } else if (step.contains(u"repeat")) {
            const qint64 count = step.value(u"repeat").toInteger();
            const QJsonArray steps = step.value(u"steps").toArray();
            for (qint64 i = 1; i <= count; ++i)
                runSteps(substitute(steps, QString::number(i)).toArray());
        } else if (step.contains(u"sleep")) {
            usleep(static_cast<useconds_t>(step.value(u"sleep").toInt() * 1000));
        } else if (step.contains(u"stderr")) {
            const QByteArray noise(step.value(u"stderr").toInt(), 'e');
            writeAll(2, noise.constData(), static_cast<size_t>(noise.size()));
        } else if (step.contains(u"closeStdout")) {
            ::close(1);
        } else if (step.contains(u"closeStdin")) {
            std::unique_lock lock(inboxMutex);
            const char stop = 1;
            if (stopReaderFd >= 0 && ::write(stopReaderFd, &stop, 1) == 1)
                inboxChanged.wait(lock, [] { return readerStopped; });
        } else if (step.contains(u"spawn")) {
            spawn(step.value(u"spawn").toObject());
        } else if (step.contains(u"exit")) {
            _exit(step.value(u"exit").toInt());
        } else {
            std::fprintf(stderr, "fake-codex: unknown step %s\n",
                         QJsonDocument(step).toJson(QJsonDocument::Compact).constData());
        }
    }

    QJsonObject m_scenario;
    QString m_threadID = QStringLiteral("thr_1");
    QString m_turnID = QStringLiteral("turn_1");
    QJsonValue m_lastID;
    QJsonObject m_lastRequest;
    QByteArray m_turnRequest;
    bool m_chatter = true;
    qint64 m_turnStartedAt = 0;
    qint64 m_nextServerID = 0;
    QByteArray m_bigLine;
};

QJsonObject defaultScenario()
{
    const QByteArray text = R"({"steps":[
        {"handshake":{}},
        {"delta":{"itemId":"msg_1","delta":"Done."}},
        {"itemCompleted":{"type":"agentMessage","id":"msg_1","text":"Done.","phase":"final_answer"}},
        {"complete":"completed"}]})";
    return QJsonDocument::fromJson(text).object();
}

QJsonObject startRecord(int argc, char** argv)
{
    QJsonArray arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    QJsonObject environment;
    for (char** entry = environ; *entry; ++entry) {
        const QString pair = QString::fromLocal8Bit(*entry);
        const qsizetype equals = pair.indexOf(QLatin1Char('='));
        const QString key = pair.left(equals);
        if (key.startsWith(u"CODEX_") || key.startsWith(u"OPENAI_") || key.startsWith(u"codex_") || key == u"PATH"
            || key == u"HOME")
            environment.insert(key, pair.mid(equals + 1));
    }
    char cwd[4096] = {};
    const char* here = getcwd(cwd, sizeof cwd);
    return {{QStringLiteral("arguments"), arguments},
            {QStringLiteral("cwd"), QString::fromLocal8Bit(here ? here : "")},
            {QStringLiteral("environment"), environment},
            {QStringLiteral("pid"), qint64(getpid())}};
}

} // namespace

int main(int argc, char** argv)
{
    const QString directory = programDirectory(argc > 0 ? argv[0] : "");
    const QString scenarioPath = qEnvironmentVariable("KESTRABO_FAKE_CODEX_SCENARIO", directory + QStringLiteral("/scenario.json"));
    const QString recordPath = qEnvironmentVariable("KESTRABO_FAKE_CODEX_RECORD", directory + QStringLiteral("/received.jsonl"));

    QJsonObject scenario = defaultScenario();
    QFile file(scenarioPath);
    if (file.open(QIODevice::ReadOnly)) {
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
        if (!document.isObject()) {
            std::fprintf(stderr, "fake-codex: %s: %s\n", qPrintable(scenarioPath), qPrintable(error.errorString()));
            return 2;
        }
        scenario = document.object();
    }

    recordFd = ::open(QFile::encodeName(recordPath).constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    ignoreTerm = scenario.value(u"ignoreTerm").toBool() ? 1 : 0;
    stayAfterEof = ignoreTerm;

    struct sigaction action {};
    action.sa_handler = onTerminate;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);

    record("#start " + QJsonDocument(startRecord(argc, argv)).toJson(QJsonDocument::Compact));

    std::thread reader(readInput);
    reader.detach();

    Script(scenario).run();

    if (scenario.contains(u"exitWhenDone"))
        _exit(scenario.value(u"exitWhenDone").toInt());
    while (true)
        pause();
}
