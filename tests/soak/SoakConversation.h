#pragma once

#include "FakeCodex.h"
#include "codex/CodexRPC.h"
#include "core/ApiBase.h"
#include "live/LiveConnection.h"
#include "platform/linux/PulseAudioDevice.h"
#include "routing/ResponsesTransport.h"
#include "support/FakeGrabber.h"
#include "support/ModelFixture.h"
#include "support/PulseDaemon.h"
#include "support/TestSupport.h"
#include "tasks/ComputerTask.h"

#include <QFile>
#include <QProcess>

#include <memory>

#include <malloc.h>

// A conversation that runs until it is stopped, for the soak test and benchmark. The model runs
// on a private sound server (the microphone's audio goes up all the time, the voice stand-in's
// speech comes down every 3 seconds), the voice and Responses stand-ins run as separate programs
// from their soak.json scenarios (so their memory is not counted as ours), and one computer task,
// started by the first request, reports progress from its app-server stand-in four times a
// second. Every later request is a screen question: a capture, routing and vision request.
namespace kestrabo::test {

struct SoakSample {
    long long residentKiB = 0;
    long long heapKiB = 0; // what the program holds of malloc's heap
    int descriptors = 0;
    int threads = 0;

    static SoakSample now()
    {
        const struct mallinfo2 heap = ::mallinfo2();
        SoakSample sample{0, static_cast<long long>((heap.uordblks + heap.hblkhd) / 1024), openDescriptors(),
                          threadCount()};
        QFile status(QStringLiteral("/proc/self/status"));
        if (status.open(QIODevice::ReadOnly)) {
            for (const QByteArray& line : status.readAll().split('\n')) {
                if (line.startsWith("VmRSS:"))
                    sample.residentKiB = line.mid(6).trimmed().split(' ').value(0).toLongLong();
            }
        }
        return sample;
    }
};

class SoakConversation : public ModelFixture {
public:
    // What went through the conversation so far.
    struct Traffic {
        int microphoneAppends = 0;
        int answers = 0;   // delegations answered with what the screen shows
        int requests = 0;  // Responses requests
        int speaking = 0;  // times the model started speaking
        int taskUpdates = 0;
    };

    ~SoakConversation()
    {
        if (model) {
            model->quit(); // the task's child gets SIGTERM, then SIGKILL a second later
            waitUntil([] { return CodexRPC::pendingKills() == 0; }, 3'000);
            model.reset();
        }
        for (QProcess* program : {&m_voice, &m_responses})
            test::stopProcess(*program);
        ResponsesTransport::setEndpoint(QUrl());
    }

    // Empty once the model listens and the task runs; otherwise what went wrong.
    QString start()
    {
        if (const QString problem = m_pulse.start(); !problem.isEmpty())
            return problem;
        const QUrl voice = startStandIn(m_voice, QStringLiteral(KESTRABO_LIVE_SIM_PATH), QStringLiteral("tools/live-sim"),
                                        {QStringLiteral("--record"), m_scratch.filePath(QStringLiteral("voice.jsonl"))});
        const QUrl responses =
            startStandIn(m_responses, QStringLiteral(KESTRABO_RESPONSES_SIM_PATH), QStringLiteral("tools/responses-sim"), {});
        if (voice.isEmpty() || responses.isEmpty())
            return QStringLiteral("a stand-in did not start");
        if (!m_codex.isValid() || !m_codex.setScenario(kTaskSteps))
            return QStringLiteral("the app-server stand-in could not be set up");

        m_grabber.displays = {ShareableDisplay{QString(), QStringLiteral("Soak Display"), QRect(0, 0, 800, 600)}};
        m_grabber.image = QImage(800, 600, QImage::Format_RGB32);
        m_grabber.image.fill(QColor(30, 120, 200));
        access.screenPreflight = true;
        platform.grabber = &m_grabber;
        platform.codexInstalled = [] { return true; };
        platform.audioDevice = pulseAudioDeviceFactory();
        ResponsesTransport::setEndpoint(api::responsesEndpoint(responses));
        make();
        model->live().setEndpoint(api::liveEndpoint(voice));
        QObject::connect(model.get(), &AppModel::changed, [this] {
            const bool speaking = model->state() == CompanionState::speaking;
            m_speaking += speaking && !m_wasSpeaking;
            m_wasSpeaking = speaking;
        });
        model->setApiKey(QStringLiteral("sk-soak"));
        model->toggle();
        if (!waitUntil([this] { return model->state() == CompanionState::listening; }, 15'000))
            return QStringLiteral("the conversation did not start: ") + model->error().value_or(QString());
        if (!waitUntil([this] { return !model->taskManager().sessions().isEmpty(); }, 15'000))
            return QStringLiteral("the computer task did not start: ") + model->error().value_or(QString());
        ComputerTaskSession* task = model->taskManager().sessions().first();
        QObject::connect(task, &ComputerTaskSession::changed, [this] { ++m_taskUpdates; });
        return {};
    }

    // Empty while the conversation and its task run as they should.
    QString problem() const
    {
        if (model->state() == CompanionState::failed || model->error())
            return QStringLiteral("the conversation failed: ") + model->error().value_or(QString());
        const ComputerTaskSession* task = model->taskManager().sessions().value(0);
        if (!task || task->state() != ComputerTaskState::working)
            return QStringLiteral("the computer task is not working");
        return {};
    }

    Traffic traffic() const
    {
        Traffic traffic{0, 0, 0, m_speaking, m_taskUpdates};
        QFile record(m_scratch.filePath(QStringLiteral("voice.jsonl")));
        if (record.open(QIODevice::ReadOnly)) {
            while (!record.atEnd()) {
                const QByteArray line = record.readLine();
                traffic.microphoneAppends += line.contains("\"session.input_audio.append\"");
                traffic.answers += line.contains("\"session.commentary.append\"") && line.contains("\"soak-");
            }
        }
        QFile log(m_scratch.filePath(QStringLiteral("kestrabo-responses-sim.out")));
        if (log.open(QIODevice::ReadOnly))
            traffic.requests = int(log.readAll().count("\nrequest "));
        return traffic;
    }

private:
    static constexpr const char* kTaskSteps =
        R"({"steps": [{"handshake": {}}, {"repeat": 1000000, "steps": [
              {"delta": {"itemId": "msg_1", "delta": "Build $i still green. "}},
              {"itemStarted": {"type": "webSearch", "id": "search_$i"}},
              {"itemCompleted": {"type": "webSearch", "id": "search_$i"}},
              {"sleep": 250}]}]})";

    // Runs one stand-in program on its soak scenario, its output in a file (a pipe would fill
    // this process with its log); the base URL it printed, or nothing.
    QUrl startStandIn(QProcess& program, const QString& path, const QString& tool, QStringList arguments)
    {
        const QString output = m_scratch.filePath(QFileInfo(path).fileName() + QStringLiteral(".out"));
        program.setStandardOutputFile(output);
        program.setStandardErrorFile(QProcess::nullDevice());
        program.start(path, QStringList{QStringLiteral("--scenario"),
                                        QStringLiteral(KESTRABO_SOURCE_DIR "/") + tool + QStringLiteral("/scenarios/soak.json")}
                                + arguments);
        QByteArray first;
        waitUntil(
            [&] {
                QFile file(output);
                first = file.open(QIODevice::ReadOnly) ? file.readLine().trimmed() : QByteArray();
                return first.startsWith("OPENAI_BASE_URL=") || program.state() == QProcess::NotRunning;
            },
            10'000);
        return first.startsWith("OPENAI_BASE_URL=") ? QUrl(QString::fromUtf8(first.mid(16))) : QUrl();
    }

    QTemporaryDir m_scratch;
    PulseDaemon m_pulse;
    QProcess m_voice;
    QProcess m_responses;
    fakecodex::FakeCodexDirectory m_codex;
    fakecodex::PathPrefix m_path{m_codex.directory()};
    FakeGrabber m_grabber;
    int m_speaking = 0;
    bool m_wasSpeaking = false;
    int m_taskUpdates = 0;
};

} // namespace kestrabo::test
