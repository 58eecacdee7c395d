// Process entry. Until the island panel exists the companion reports itself on standard
// output; `--demo` runs one conversation against whatever OPENAI_BASE_URL points at (the
// run script starts the voice stand-in for it) and then quits.

#include "app/AppModel.h"
#include "live/LiveConnection.h"
#include "codex/CodexWorkerProtocol.h"
#include "platform/linux/LinuxSystemAccess.h"
#include "platform/linux/PocketSphinxRecognizer.h"
#include "platform/linux/PulseAudioDevice.h"
#include "platform/linux/X11ScreenGrabber.h"
#include "system/CredentialStore.h"
#include "system/KeychainCredentialStore.h"

#include <QApplication>
#include <QSettings>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

using namespace kestrabo;

// Prints each line of the model's visible state that changed since the last print.
class ConsoleObserver : public QObject {
public:
    explicit ConsoleObserver(AppModel& model) : QObject(&model), m_model(model)
    {
        QObject::connect(&model, &AppModel::changed, this, [this] { print(); });
        print();
    }

private:
    void print()
    {
        const QStringList lines{
            QStringLiteral("state: ") + label(m_model.state()),
            QStringLiteral("voice: ") + m_model.voiceDiagnostics(),
            QStringLiteral("you: ") + m_model.liveUserSubtitle(),
            QStringLiteral("kestrabo: ") + m_model.liveAssistantSubtitle(),
            QStringLiteral("error: ") + m_model.error().value_or(QString()),
            QStringLiteral("seconds: ") + QString::number(m_model.seconds()),
        };
        for (qsizetype i = 0; i < lines.size(); ++i) {
            if (m_last.size() > i && m_last[i] == lines[i])
                continue;
            if (!lines[i].endsWith(QStringLiteral(": ")))
                std::printf("%s\n", qPrintable(lines[i]));
        }
        std::fflush(stdout);
        m_last = lines;
    }

    AppModel& m_model;
    QStringList m_last;
};

} // namespace

int main(int argc, char** argv)
{
    // The demo needs no window: without a display it renders off screen.
    const bool demoRequested = std::any_of(argv + 1, argv + argc, [](const char* a) { return std::strcmp(a, "--demo") == 0; });
    if (demoRequested && qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kestrabo"));
    QApplication::setOrganizationName(QStringLiteral("kestrabo"));
    QApplication::setQuitOnLastWindowClosed(false);

    const bool demo = demoRequested;

    X11ScreenGrabber grabber;
    LinuxSystemAccess access(&grabber);
    access.microphoneCheck = [] { return pulseAudioHasCaptureSource(); };
    access.onExplanation = [](const QString&, const QString& text) {
        std::printf("settings: %s\n", qPrintable(text));
        std::fflush(stdout);
    };
    QSettings preferences;
    // The demo never touches the user's stored key.
    InMemoryCredentialStore demoStore;
    KeychainCredentialStore keychainStore(QStringLiteral("com.vorn.kestrabo.api-key"), QStringLiteral("openai"),
                                          KeychainOperations::system());
    CredentialStore& store = demo ? static_cast<CredentialStore&>(demoStore) : keychainStore;
    if (demo)
        (void)demoStore.save(QStringLiteral("demo-key"));

    AppModel model(AppModel::Options{.enableShortcuts = !demo, .loadCredentials = true}, store,
                   Platform{.access = &access,
                            .preferences = &preferences,
                            .codexInstalled = [] { return CodexWorkerProtocol::isInstalled(); },
                            .audioDevice = pulseAudioDeviceFactory(),
                            .grabber = &grabber,
                            .speechRecognizer = pocketSphinxRecognizerFactory()});
    model.onTerminate = [] { QTimer::singleShot(0, qApp, &QCoreApplication::quit); };
    model.setExpanded(true);
    model.setSettings(true);
    new ConsoleObserver(model);

    if (demo) {
        model.toggle();
        // Ends the conversation after a few seconds, then quits once the session has closed
        // (or failed), waiting at most ten seconds for the final usage.
        auto* poll = new QTimer(&model);
        QTimer::singleShot(8'000, &model, [&model, poll] {
            model.stop();
            QElapsedTimer waited;
            waited.start();
            QObject::connect(poll, &QTimer::timeout, &model, [&model, waited] {
                if (!model.live().isConnected() || waited.elapsed() > 10'000)
                    model.quit();
            });
            poll->start(100);
        });
    }
    return QApplication::exec();
}
