// Process entry. Until the island panel exists the companion reports itself on standard
// output. `--demo --voice-base URL` plays one conversation against the voice service at URL and
// the Responses endpoint at OPENAI_BASE_URL (scripts/demo starts a stand-in for each), with
// preferences in a temporary file and the in-memory key, and quits when the conversation ends.

#include "app/AppModel.h"
#include "core/ApiBase.h"
#include "live/LiveConnection.h"
#include "codex/CodexWorkerProtocol.h"
#include "platform/linux/LinuxSystemAccess.h"
#include "platform/linux/PocketSphinxRecognizer.h"
#include "platform/linux/PulseAudioDevice.h"
#include "platform/linux/X11KeySource.h"
#include "platform/linux/X11ScreenGrabber.h"
#include "system/CredentialStore.h"
#include "system/KeychainCredentialStore.h"
#include "ui/PanelController.h"

#include <QApplication>
#include <QSettings>
#include <QTemporaryDir>
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
    QUrl voiceBase;
    if (demo) {
        const QStringList arguments = QApplication::arguments();
        const qsizetype at = arguments.indexOf(QStringLiteral("--voice-base"));
        QString problem;
        if (at >= 0 && at + 1 < arguments.size())
            voiceBase = api::baseFrom(arguments.at(at + 1).toUtf8(), &problem);
        if (!voiceBase.isValid() || !problem.isEmpty()) {
            std::fprintf(stderr, "kestrabo: --demo needs --voice-base http://HOST:PORT/v1\n");
            return 2;
        }
    }

    X11ScreenGrabber grabber;
    X11KeySource keys;
    LinuxSystemAccess access(&grabber);
    access.microphoneCheck = [] { return pulseAudioReachable(); };
    access.listenEventCheck = [&keys] { return keys.listenAccess(); };
    access.onExplanation = [](const QString&, const QString& text) {
        std::printf("settings: %s\n", qPrintable(text));
        std::fflush(stdout);
    };
    // The demo keeps its preferences in a file of its own that goes with it.
    QTemporaryDir demoDirectory;
    std::unique_ptr<QSettings> preferences = demo
        ? std::make_unique<QSettings>(demoDirectory.filePath(QStringLiteral("kestrabo.conf")), QSettings::IniFormat)
        : std::make_unique<QSettings>();
    // The demo never touches the user's stored key.
    InMemoryCredentialStore demoStore;
    KeychainCredentialStore keychainStore(QStringLiteral("com.vorn.kestrabo.api-key"), QStringLiteral("openai"),
                                          KeychainOperations::system());
    CredentialStore& store = demo ? static_cast<CredentialStore&>(demoStore) : keychainStore;
    if (demo)
        (void)demoStore.save(QStringLiteral("demo-key"));

    AppModel model(AppModel::Options{.enableShortcuts = !demo, .loadCredentials = true}, store,
                   Platform{.access = &access,
                            .preferences = preferences.get(),
                            .codexInstalled = [] { return CodexWorkerProtocol::isInstalled(); },
                            .audioDevice = pulseAudioDeviceFactory(),
                            .grabber = &grabber,
                            .keys = &keys,
                            .speechRecognizer = pocketSphinxRecognizerFactory()});
    model.onTerminate = [] { QTimer::singleShot(0, qApp, &QCoreApplication::quit); };
    model.setExpanded(true);
    model.setSettings(true);
    new ConsoleObserver(model);
    if (!demo)
        new PanelController(model); // owned by the model

    if (demo) {
        model.live().setEndpoint(api::liveEndpoint(voiceBase));
        // Ends when the conversation does (the service closes it, or a failure), or after a
        // minute at most.
        QObject::connect(&model, &AppModel::changed, &model, [&model] {
            if (!model.active() && model.state() != CompanionState::idle)
                QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        });
        QTimer::singleShot(60'000, &model, [&model] { model.quit(); });
        model.toggle();
    }
    return QApplication::exec();
}
