#include "codex/CodexRPC.h"

#include "core/Json.h"
#include "core/Text.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTimer>

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace kestrabo {

namespace {

const QString kLaunchFailed = QStringLiteral("Could not launch the local Codex worker.");
const QString kExited = QStringLiteral("The local Codex worker exited.");
const QString kClosedConnection = QStringLiteral("The Codex worker closed its connection.");
const QString kInvalid = QStringLiteral("The Codex worker sent an invalid or oversized message.");
const QString kDisconnected = QStringLiteral("The Codex worker is disconnected.");
const QString kTooLarge = QStringLiteral("The Codex message is too large.");
const QString kWriteFailed = QStringLiteral("Could not communicate with the Codex worker.");
const QString kTimedOut = QStringLiteral("The Codex worker did not respond in time.");
const QString kRejectedPrefix = QStringLiteral("Codex rejected a worker request: ");
const QString kRejectedGeneric =
    QStringLiteral("Codex rejected a worker request. Check the installed CLI version and signed-in account.");
const QString kNotSupported = QStringLiteral("This request is not supported by Kestrabo.");
constexpr int kNotSupportedCode = -32601;
constexpr qsizetype kMaxErrorCharacters = 1'000;

// Completions run in a later turn, as a resumed caller would: the rest of the chunk being
// read is handled first, and a caller that closes or drops the channel from its completion
// never re-enters it.
void deliver(CodexRPC::Completion done, Result<QJsonObject> result)
{
    post(QCoreApplication::instance(), [done = std::move(done), result = std::move(result)] { done(result); });
}

} // namespace

CodexRPC::CodexRPC(QString executable, QStringList arguments, Environment environment, QString workingDirectory,
                   QObject* parent)
    : QObject(parent), m_process(new QProcess)
{
    QProcessEnvironment childEnvironment;
    for (auto it = environment.constBegin(); it != environment.constEnd(); ++it)
        childEnvironment.insert(it.key(), it.value());
    m_process->setProgram(executable);
    m_process->setArguments(arguments);
    m_process->setProcessEnvironment(childEnvironment);
    m_process->setWorkingDirectory(workingDirectory);
    m_process->setProcessChannelMode(QProcess::SeparateChannels);
}

CodexRPC::~CodexRPC()
{
    close();
    if (!m_process)
        return;
    m_process->disconnect(this);
    if (m_process->state() == QProcess::NotRunning) {
        delete m_process;
        return;
    }
    // The child still has its grace period before SIGKILL; deleting the QProcess now would
    // kill it at once and block until it is gone. It frees itself once the child has exited.
    if (QCoreApplication::instance())
        m_process->setParent(QCoreApplication::instance());
    QObject::connect(m_process, &QProcess::finished, m_process, &QObject::deleteLater);
}

std::optional<QString> CodexRPC::idKey(const QJsonValue& id)
{
    if (id.isString())
        return QStringLiteral("s:") + id.toString();
    if (!id.isDouble())
        return std::nullopt;
    // Integers (also beyond 2^53) keep every digit; other numbers use the shortest exact form.
    if (id.toInteger(0) == id.toInteger(1))
        return QStringLiteral("n:") + QString::number(id.toInteger());
    return QStringLiteral("n:") + QString::number(id.toDouble(), 'g', QLocale::FloatingPointShortest);
}

std::optional<QString> CodexRPC::cleanError(const std::optional<QString>& message)
{
    if (!message)
        return std::nullopt;
    QString cleaned;
    cleaned.reserve(message->size());
    for (const char32_t scalar : message->toUcs4()) {
        const QChar::Category category = QChar::category(scalar);
        if (category == QChar::Other_Control || category == QChar::Other_Format)
            cleaned.append(QLatin1Char(' '));
        else
            cleaned.append(QChar::fromUcs4(scalar));
    }
    cleaned = text::trimmed(cleaned);
    if (cleaned.isEmpty())
        return std::nullopt;
    return text::graphemePrefix(cleaned, kMaxErrorCharacters);
}

bool CodexRPC::isRunning() const
{
    return m_process && m_process->state() == QProcess::Running;
}

// Starting counts: what is written before the exec waits in the pipe.
bool CodexRPC::isAlive() const
{
    return m_launched && m_process && m_process->state() != QProcess::NotRunning;
}

namespace {

// Both ends are close-on-exec and above the standard descriptors: only the child's dup onto
// 0 or 1 survives its exec, so no other child keeps the pipe open, and a process started
// without some standard descriptors cannot get them back from pipe2.
bool makePipe(int ends[2])
{
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return false;
    for (int i = 0; i < 2; ++i) {
        if (ends[i] < 3) {
            const int moved = ::fcntl(ends[i], F_DUPFD_CLOEXEC, 3);
            ::close(ends[i]);
            ends[i] = moved;
        }
    }
    if (ends[0] >= 0 && ends[1] >= 0)
        return true;
    for (int i = 0; i < 2; ++i) {
        if (ends[i] >= 0)
            ::close(ends[i]);
    }
    return false;
}

void setNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

// A child that closed its standard input must show up as EPIPE from write, not kill us.
void ignoreBrokenPipes()
{
    static const bool ignored = [] {
        struct sigaction action {};
        action.sa_handler = SIG_IGN;
        sigemptyset(&action.sa_mask);
        return ::sigaction(SIGPIPE, &action, nullptr) == 0;
    }();
    (void)ignored;
}

} // namespace

Status CodexRPC::launch()
{
    if (m_closed || m_launched)
        return KestraboError::message(kDisconnected);
    m_launched = true;
    m_chunk.resize(readChunkBytes);
    ignoreBrokenPipes();

    int output[2] = {-1, -1};
    int input[2] = {-1, -1};
    if (!makePipe(output) || !makePipe(input)) {
        for (const int end : output) {
            if (end >= 0)
                ::close(end);
        }
        close(KestraboError::message(kLaunchFailed));
        return KestraboError::message(kLaunchFailed);
    }
    setNonBlocking(output[0]);
    setNonBlocking(input[1]);
    const int childOutput = output[1];
    const int childInput = input[0];
    m_output = output[0];
    m_input = input[1];
    m_process->setStandardInputFile(QProcess::nullDevice());
    m_process->setStandardOutputFile(QProcess::nullDevice());
    m_process->setChildProcessModifier([childOutput, childInput] {
        ::setpgid(0, 0);
        ::dup2(childInput, STDIN_FILENO);
        ::dup2(childOutput, STDOUT_FILENO);
        ::signal(SIGPIPE, SIG_DFL);
    });

    // Standard error is never shown or parsed; reading it keeps the child from blocking on it.
    QObject::connect(m_process, &QProcess::readyReadStandardError, this,
                     [this] { m_process->readAllStandardError(); });
    QObject::connect(m_process, &QProcess::finished, this, &CodexRPC::childExited);
    QObject::connect(m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        m_group = 0;
        close(KestraboError::message(kLaunchFailed));
    });

    m_outputNotifier = new QSocketNotifier(m_output, QSocketNotifier::Read, this);
    QObject::connect(m_outputNotifier, &QSocketNotifier::activated, this, &CodexRPC::readOutput);
    m_inputNotifier = new QSocketNotifier(m_input, QSocketNotifier::Write, this);
    m_inputNotifier->setEnabled(false);
    QObject::connect(m_inputNotifier, &QSocketNotifier::activated, this, &CodexRPC::flushInput);

    // The fork happens here; whether the program could be executed is reported later, so a
    // slow start never holds the main thread. Requests written meanwhile wait in the pipe.
    m_process->start(QIODevice::ReadWrite);
    ::close(childOutput);
    ::close(childInput);
    const qint64 pid = m_process->processId();
    if (!m_closed && pid > 0) {
        // Also from this side, so the group exists before any signal can be sent to it.
        ::setpgid(static_cast<pid_t>(pid), static_cast<pid_t>(pid));
        m_group = pid;
    }
    if (m_closed || m_process->state() == QProcess::NotRunning) {
        m_group = 0;
        close(KestraboError::message(kLaunchFailed));
        return KestraboError::message(kLaunchFailed);
    }
    return {};
}

// One read of at most 65,536 bytes per readiness; the notifier fires again in a later turn
// while the pipe has more.
void CodexRPC::readOutput()
{
    if (m_closed || m_output < 0)
        return;
    ssize_t count;
    do {
        count = ::read(m_output, m_chunk.data(), static_cast<size_t>(readChunkBytes));
    } while (count < 0 && errno == EINTR);
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        // Nothing left. After the child's exit that is the end, even if something the child
        // left behind still holds the pipe open.
        if (m_exited)
            close(KestraboError::message(m_endMessage.value_or(kExited)));
        return;
    }
    if (count <= 0) {
        close(KestraboError::message(m_endMessage.value_or(kClosedConnection)));
        return;
    }
    QPointer<CodexRPC> self(this);
    receive(QByteArrayView(m_chunk.constData(), count));
    // Once the child is gone, readiness alone may never signal the end (a descendant can keep
    // the pipe open), so keep reading until the pipe is empty.
    if (self && m_exited && !m_closed)
        QMetaObject::invokeMethod(this, &CodexRPC::readOutput, Qt::QueuedConnection);
}

// Exit and end of output race; whichever is seen first names the close. What the child wrote
// before it exited is still handled first.
void CodexRPC::childExited()
{
    m_exited = true;
    if (!m_endMessage)
        m_endMessage = kExited;
    QMetaObject::invokeMethod(this, &CodexRPC::readOutput, Qt::QueuedConnection);
}

void CodexRPC::closeInput()
{
    if (m_inputNotifier) {
        m_inputNotifier->setEnabled(false);
        m_inputNotifier->deleteLater();
        m_inputNotifier = nullptr;
    }
    if (m_input >= 0) {
        ::close(m_input);
        m_input = -1;
    }
    m_outgoing = QByteArray();
    m_outgoingSent = 0;
}

// Writes what the pipe takes now; the rest goes when the child reads. A failed write (the
// child closed its standard input) closes the channel at once.
void CodexRPC::flushInput()
{
    if (m_closed || m_input < 0)
        return;
    while (m_outgoingSent < m_outgoing.size()) {
        const ssize_t count = ::write(m_input, m_outgoing.constData() + m_outgoingSent,
                                      static_cast<size_t>(m_outgoing.size() - m_outgoingSent));
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (count <= 0) {
            // Before the exec has been confirmed, a closed pipe means the program never ran.
            const bool starting = m_process && m_process->state() == QProcess::Starting;
            close(KestraboError::message(starting ? kLaunchFailed : kWriteFailed));
            return;
        }
        m_outgoingSent += count;
    }
    if (m_outgoingSent == m_outgoing.size()) {
        m_outgoing.clear();
        m_outgoingSent = 0;
    } else if (m_outgoingSent > m_outgoing.size() / 2) {
        m_outgoing.remove(0, m_outgoingSent);
        m_outgoingSent = 0;
    }
    if (m_inputNotifier)
        m_inputNotifier->setEnabled(!m_outgoing.isEmpty());
}

// SIGTERM to the child's whole group, SIGKILL to whatever of it is left after the delay.
void CodexRPC::signalGroup()
{
    const pid_t group = static_cast<pid_t>(m_group);
    m_group = 0;
    if (group <= 0)
        return;
    ::kill(-group, SIGTERM);
    if (QCoreApplication::instance()) {
        ++s_pendingKills;
        QTimer::singleShot(m_killDelayMs, Qt::PreciseTimer, QCoreApplication::instance(), [group] {
            ::kill(-group, SIGKILL);
            --s_pendingKills;
        });
    }
}

void CodexRPC::closeOutput()
{
    if (m_outputNotifier) {
        m_outputNotifier->setEnabled(false);
        m_outputNotifier->deleteLater();
        m_outputNotifier = nullptr;
    }
    if (m_output >= 0) {
        ::close(m_output);
        m_output = -1;
    }
}

void CodexRPC::receive(QByteArrayView chunk)
{
    if (m_closed)
        return;
    m_buffer.append(chunk.data(), chunk.size());
    QPointer<CodexRPC> self(this);
    qsizetype start = 0;
    while (true) {
        const qsizetype end = m_buffer.indexOf('\n', std::max(start, m_scanned));
        if (end < 0)
            break;
        const qsizetype length = end - start;
        if (length > maxMessageBytes) {
            close(KestraboError::message(kInvalid));
            return;
        }
        const QByteArrayView line(m_buffer.constData() + start, length);
        start = end + 1;
        if (length == 0)
            continue;
        const bool keepGoing = handleLine(line);
        if (!self || m_closed || !keepGoing)
            return;
    }
    m_buffer.remove(0, start);
    m_scanned = m_buffer.size();
    if (m_buffer.size() > maxMessageBytes)
        close(KestraboError::message(kInvalid));
}

bool CodexRPC::handleLine(QByteArrayView line)
{
    QJsonParseError parseError{};
    // The view stays valid while parsing; the parser copies what it keeps.
    const QJsonDocument document =
        QJsonDocument::fromJson(QByteArray::fromRawData(line.data(), line.size()), &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        close(KestraboError::message(kInvalid));
        return false;
    }
    const QJsonObject message = document.object();
    if (message.value(u"method").isString()) {
        if (!onMessage)
            return true;
        // The handler may close the channel; its own function object must survive the call.
        QPointer<CodexRPC> self(this);
        m_dispatching = true;
        onMessage(message);
        if (!self)
            return false;
        m_dispatching = false;
        if (m_closed)
            onMessage = nullptr;
        return true;
    }
    const std::optional<QString> key = idKey(message.value(u"id"));
    if (!key) {
        close(KestraboError::message(kInvalid));
        return false;
    }
    if (const auto error = json::object(message, u"error")) {
        const std::optional<QString> cleaned = cleanError(json::string(*error, u"message"));
        settle(*key, KestraboError::message(cleaned ? kRejectedPrefix + *cleaned : kRejectedGeneric));
        return true;
    }
    const auto result = json::object(message, u"result");
    if (!result) {
        close(KestraboError::message(kInvalid));
        return false;
    }
    settle(*key, *result);
    return true;
}

void CodexRPC::settle(const QString& key, Result<QJsonObject> result)
{
    const auto found = m_pending.find(key);
    if (found == m_pending.end())
        return;
    Pending pending = std::move(found->second);
    m_pending.erase(found);
    pending.timer.cancel();
    deliver(std::move(pending.done), std::move(result));
}

Status CodexRPC::write(const QJsonObject& message)
{
    if (m_closed || !isAlive())
        return KestraboError::message(kDisconnected);
    QByteArray bytes = json::compact(message);
    if (bytes.size() > maxMessageBytes)
        return KestraboError::message(kTooLarge);
    bytes.append('\n');
    if (queuedBytes() + bytes.size() > maxQueuedBytes) {
        // The child stopped reading; waiting longer would only pile up messages.
        close(KestraboError::message(kWriteFailed));
        return KestraboError::message(kWriteFailed);
    }
    m_outgoing.append(bytes);
    flushInput();
    if (m_closed)
        return KestraboError::message(m_closedWith.value_or(kWriteFailed));
    return {};
}

void CodexRPC::request(const QString& method, const QJsonObject& params, int timeoutMs, Completion done, Job job)
{
    if (m_closed || !isAlive()) {
        deliver(std::move(done), KestraboError::message(kDisconnected));
        return;
    }
    if (job.isValid() && job.isCancelled()) {
        deliver(std::move(done), KestraboError::cancelled());
        return;
    }
    const qint64 id = ++m_nextID;
    const QString key = QStringLiteral("n:") + QString::number(id);
    Job timer = Job::start();
    m_pending.emplace(key, Pending{std::move(done), timer});
    timer.after(timeoutMs, this, [this, key] { settle(key, KestraboError::message(kTimedOut)); });
    if (job.isValid()) {
        QPointer<CodexRPC> self(this);
        job.onCancel([self, key] {
            if (self)
                self->settle(key, KestraboError::cancelled());
        });
    }
    const Status written = write(QJsonObject{
        {QStringLiteral("id"), id},
        {QStringLiteral("method"), method},
        {QStringLiteral("params"), params},
    });
    if (!written)
        settle(key, written.error());
}

void CodexRPC::respond(const QJsonValue& id, const QJsonObject& result)
{
    const Status written = write(QJsonObject{{QStringLiteral("id"), id}, {QStringLiteral("result"), result}});
    if (!written)
        close(written.error());
}

void CodexRPC::reject(const QJsonValue& id)
{
    const QJsonObject error{
        {QStringLiteral("code"), kNotSupportedCode},
        {QStringLiteral("message"), kNotSupported},
    };
    const Status written = write(QJsonObject{{QStringLiteral("id"), id}, {QStringLiteral("error"), error}});
    if (!written)
        close(written.error());
}

void CodexRPC::close(std::optional<KestraboError> error)
{
    if (m_closed)
        return;
    m_closed = true;
    if (error && !error->isCancellation())
        m_closedWith = error->description();
    m_buffer = QByteArray();
    m_scanned = 0;

    closeOutput();
    closeInput();
    if (m_process) {
        m_process->disconnect(this);
        if (m_process->state() != QProcess::NotRunning) {
            // Whatever the child still writes there is read and dropped by QProcess itself.
            m_process->closeReadChannel(QProcess::StandardError);
        }
        m_process->readAllStandardError();
    }

    std::vector<QString> keys;
    for (const auto& entry : m_pending)
        keys.push_back(entry.first);
    for (const QString& key : keys)
        settle(key, error ? *error : KestraboError::cancelled());

    // Also after the child's own exit: what it started may still run in its group.
    signalGroup();

    const auto failure = std::move(onFailure);
    onFailure = nullptr;
    if (!m_dispatching)
        onMessage = nullptr;
    if (error && failure)
        failure(*error);
}

} // namespace kestrabo
