#include "app/AppDelegate.h"

#include "app/AppModel.h"
#include "app/DemoTranscript.h"
#include "app/SingleInstance.h"
#include "codex/CodexRPC.h"
#include "codex/CodexWorkerProtocol.h"
#include "core/ApiBase.h"
#include "input/Hotkey.h"
#include "live/LiveConnection.h"
#include "platform/linux/LinuxSystemAccess.h"
#include "platform/linux/PocketSphinxRecognizer.h"
#include "platform/linux/PulseAudioDevice.h"
#include "platform/linux/X11KeySource.h"
#include "platform/linux/X11ScreenGrabber.h"
#include "system/CredentialStore.h"
#include "system/KeychainCredentialStore.h"
#include "system/Permissions.h"
#include "ui/IslandMetrics.h"
#include "ui/IslandView.h"
#include "ui/NotchGeometry.h"
#include "ui/PanelController.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QProcess>
#include <QSettings>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrabo {

struct LinuxPlatform {
    X11ScreenGrabber grabber;
    X11KeySource keys;
    LinuxSystemAccess access{&grabber};
    std::unique_ptr<QTemporaryDir> demoDirectory;
    std::unique_ptr<QSettings> preferences;
    std::unique_ptr<CredentialStore> store;

    LinuxPlatform()
    {
        access.microphoneCheck = [] { return pulseAudioReachable(); };
        access.listenEventCheck = [this] { return keys.listenAccess(); };
    }

    Platform platform()
    {
        return Platform{.access = &access,
                        .preferences = preferences.get(),
                        .codexInstalled = [] { return CodexWorkerProtocol::isInstalled(); },
                        .audioDevice = pulseAudioDeviceFactory(),
                        .grabber = &grabber,
                        .keys = &keys,
                        .speechRecognizer = pocketSphinxRecognizerFactory()};
    }
};

namespace {

const char* const kDiagnostics = "--permission-diagnostics";
const char* const kPreview = "--render-preview";

void printLine(const QString& text)
{
    std::printf("%s\n", qPrintable(text));
    std::fflush(stdout);
}

// Waits on the main thread's event loop, so the window can lay out and paint meanwhile.
void pause(int milliseconds)
{
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

int signalPipe[2] = {-1, -1};

void forwardSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}

} // namespace

LaunchOptions LaunchOptions::parse(const QStringList& arguments)
{
    LaunchOptions options;
    bool diagnostics = false, preview = false, toggle = false, demo = false, help = false, version = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument == QLatin1String(kDiagnostics))
            diagnostics = true;
        else if (argument == QLatin1String(kPreview))
            preview = true;
        else if (argument == u"--toggle")
            toggle = true;
        else if (argument == u"--demo")
            demo = true;
        else if (argument == u"--help" || argument == u"-h")
            help = true;
        else if (argument == u"--version")
            version = true;
        else if (argument == u"--voice-base" && i + 1 < arguments.size())
            options.voiceBase = arguments[++i];
        else {
            options.mode = Mode::usage;
            options.problem = QStringLiteral("unknown option: ") + argument;
            return options;
        }
    }
    if (demo && options.voiceBase.isEmpty()) {
        options.mode = Mode::usage;
        options.problem = QStringLiteral("--demo needs --voice-base http://HOST:PORT/v1");
        return options;
    }
    options.mode = help ? Mode::help
        : version       ? Mode::version
        : diagnostics   ? Mode::diagnostics
        : preview       ? Mode::preview
        : demo          ? Mode::demo
        : toggle        ? Mode::toggle
                        : Mode::normal;
    return options;
}

QString LaunchOptions::usage()
{
    return QStringLiteral(
        "Usage: kestrabo [OPTION]\n"
        "A voice companion in a small island at the top of the screen.\n"
        "\n"
        "  --toggle                  start or end a conversation in the running Kestrabo\n"
        "  --permission-diagnostics  print one JSON line of permission facts and exit\n"
        "  --render-preview          render the island into .build/previews and exit\n"
        "  --demo --voice-base URL   play one conversation against the voice service at URL\n"
        "  --help                    show this help and exit\n"
        "  --version                 show the version and exit\n"
        "\n"
        "A second launch opens the running Kestrabo's island.\n");
}

AppDelegate::AppDelegate(LaunchOptions options, QObject* parent)
    : QObject(parent), m_options(std::move(options)), m_bundle(AppBundle::current())
{
}

AppDelegate::~AppDelegate()
{
    applicationWillTerminate();
    delete m_controller;
    delete m_model;
}

bool AppDelegate::applicationDidFinishLaunching()
{
    QApplication::setQuitOnLastWindowClosed(applicationShouldTerminateAfterLastWindowClosed());
    watchSignals();
    connect(qApp, &QCoreApplication::aboutToQuit, this, &AppDelegate::applicationWillTerminate);
    switch (m_options.mode) {
    case LaunchOptions::Mode::diagnostics:
        QTimer::singleShot(0, this, &AppDelegate::runDiagnostics);
        return true;
    case LaunchOptions::Mode::preview:
        buildModel(true);
        QTimer::singleShot(0, this, &AppDelegate::runPreview);
        return true;
    case LaunchOptions::Mode::demo:
        startDemo();
        return true;
    default:
        break;
    }

    m_instance = new SingleInstance(this);
    m_instance->onCommand = [this](const QByteArray& line) { command(line); };
    if (!m_instance->listen())
        return false;
    buildModel(false);
    m_controller = new PanelController(*m_model);
    QPointer<AppDelegate> self(this);
    m_controller->view().setBuild(m_bundle.buildLabel(), [self] {
        if (self && self->m_model)
            relaunch(self->m_bundle, *self->m_model, detachedLauncher());
    });
    if (m_options.mode == LaunchOptions::Mode::toggle)
        m_model->toggle();
    return true;
}

void AppDelegate::buildModel(bool preview)
{
    m_platform = std::make_unique<LinuxPlatform>();
    if (m_options.mode == LaunchOptions::Mode::demo) {
        // The demo keeps its preferences in a file that goes with it and never touches the
        // user's stored key.
        m_platform->demoDirectory = std::make_unique<QTemporaryDir>();
        m_platform->preferences = std::make_unique<QSettings>(
            m_platform->demoDirectory->filePath(QStringLiteral("kestrabo.conf")), QSettings::IniFormat);
        auto store = std::make_unique<InMemoryCredentialStore>();
        (void)store->save(QStringLiteral("demo-key"));
        m_platform->store = std::move(store);
    } else {
        m_platform->preferences = std::make_unique<QSettings>();
        m_platform->store = std::make_unique<KeychainCredentialStore>(
            QStringLiteral("com.vorn.kestrabo.api-key"), QStringLiteral("openai"), KeychainOperations::system());
    }
    // No settings program could be opened for a permission: what to do instead.
    m_platform->access.onExplanation = [](const QString&, const QString& text) {
        std::fprintf(stderr, "kestrabo: %s\n", qPrintable(text));
    };
    const bool demo = m_options.mode == LaunchOptions::Mode::demo;
    m_model = new AppModel(AppModel::Options{.enableShortcuts = !preview && !demo, .loadCredentials = !preview},
                           *m_platform->store, m_platform->platform());
    QPointer<AppDelegate> self(this);
    m_model->onTerminate = [self] {
        if (self)
            self->terminate();
    };
    m_model->setExpanded(true);
    m_model->setSettings(true);
    if (preview || m_options.mode == LaunchOptions::Mode::demo)
        return;
    // Otherwise only failures are printed, on standard error.
    auto shown = std::make_shared<std::optional<QString>>();
    connect(m_model, &AppModel::changed, this, [this, shown] {
        if (m_model->error() == *shown)
            return;
        *shown = m_model->error();
        if (*shown)
            std::fprintf(stderr, "kestrabo: %s\n", qPrintable(**shown));
    });
}

void AppDelegate::startDemo()
{
    QString problem;
    const QUrl voiceBase = api::baseFrom(m_options.voiceBase.toUtf8(), &problem);
    buildModel(false);
    if (!voiceBase.isValid() || !problem.isEmpty()) {
        m_model->fail(problem.isEmpty() ? QStringLiteral("The voice base URL is not usable.") : problem);
        QTimer::singleShot(0, this, &AppDelegate::terminate);
        return;
    }
    m_model->live().setEndpoint(api::liveEndpoint(voiceBase));
    // The island shows on whatever display there is, without animation, so each picture shows
    // a settled island.
    m_controller = new PanelController(*m_model, {.reduceMotion = [] { return true; }});
    auto* transcript = new DemoTranscript(*m_model, m_controller,
                                          QDir::current().absoluteFilePath(QStringLiteral(".build/demo")));
    // Ends when the conversation does (the service closes it, or a failure), or after a minute.
    connect(m_model, &AppModel::changed, this, [this, transcript] {
        if (m_model->active() || m_model->state() == CompanionState::idle || m_terminating)
            return;
        // After this change has reached the transcript and the island.
        QTimer::singleShot(0, this, [this, transcript] {
            transcript->finish();
            terminate();
        });
    });
    QTimer::singleShot(60'000, m_model, [this] { m_model->quit(); });
    m_model->setSettings(false);
    m_model->toggle();
}

void AppDelegate::command(const QByteArray& command)
{
    if (!m_model)
        return;
    if (command == "open") {
        m_model->setExpanded(true);
    } else if (command == "toggle") {
        m_model->setSettings(false);
        m_model->toggle();
    }
}

void AppDelegate::runDiagnostics()
{
    // No model, no panel and no keyring: only the facts, read the way the model reads them.
    auto platform = std::make_shared<LinuxPlatform>();
    SystemAccess& access = platform->access;
    const bool microphone = access.microphoneAuthorized();
    const bool preflight = access.screenCapturePreflight();
    const bool inputMonitoring = access.listenEventAllowed();
    bool eventTap = false;
    {
        HotkeyController hotkey(&platform->keys);
        eventTap = hotkey.install();
        hotkey.uninstall();
    }
    QPointer<AppDelegate> self(this);
    const AppBundle bundle = m_bundle;
    Permissions::checkScreenAccess(false, access, &platform->grabber, [=](const ScreenAccessStatus& status) {
        const char* screen = status.isAvailable() ? "available" : status.isDenied() ? "denied" : "unavailable";
        const QJsonObject report{
            {QStringLiteral("bundleIdentifier"), bundle.identifier.value_or(QStringLiteral("unbundled"))},
            {QStringLiteral("appVersion"), bundle.version.value_or(QStringLiteral("unknown"))},
            {QStringLiteral("microphoneAuthorized"), microphone},
            {QStringLiteral("screenPreflight"), preflight},
            {QStringLiteral("screenFunctional"), QString::fromLatin1(screen)},
            {QStringLiteral("inputMonitoringPreflight"), inputMonitoring},
            {QStringLiteral("eventTapUsable"), eventTap},
        };
        // QJsonObject keeps its keys sorted.
        const QByteArray line = QJsonDocument(report).toJson(QJsonDocument::Compact);
        std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
        (void)platform;
        if (self)
            self->terminate();
    });
}

void AppDelegate::runPreview()
{
    const QString directory = QDir::current().absoluteFilePath(QStringLiteral(".build/previews"));
    if (!QDir().mkpath(directory)) {
        printLine(QStringLiteral("Could not create the preview directory."));
        terminate();
        return;
    }
    printLine(QStringLiteral("Rendering previews in ") + directory);
    QPointer<AppDelegate> self(this);
    for (const QString& name : {QStringLiteral("settings"), QStringLiteral("ready"), QStringLiteral("conversation"),
                                QStringLiteral("collapsed")}) {
        m_model->showPreview(name);
        QWidget host;
        host.setWindowFlags(Qt::FramelessWindowHint | Qt::Tool | Qt::WindowDoesNotAcceptFocus);
        host.setAttribute(Qt::WA_ShowWithoutActivating);
        host.setAutoFillBackground(true);
        QPalette palette = host.palette();
        palette.setColor(QPalette::Window, QColor::fromRgbF(0.18f, 0.18f, 0.18f, 1.0f));
        host.setPalette(palette);
        auto* layout = new QVBoxLayout(&host);
        layout->setContentsMargins(20, 20, 20, 20);
        layout->setSizeConstraint(QLayout::SetFixedSize);
        auto* view = new IslandView(*m_model, &host);
        const NotchGeometry notch = NotchGeometry::measure(0, std::nullopt, std::nullopt);
        view->setMetrics(notch, island::maximumHeight(740));
        view->setReveal(m_model->expanded() ? 1 : 0);
        layout->addWidget(view);
        const auto fit = [&] {
            const bool busy = m_model->active() || m_model->runningTaskCount() > 0;
            view->setFixedSize(island::panelSize(notch, m_model->expanded(), busy, view->contentHeight()).toSize());
            layout->activate();
        };
        fit();
        host.setGeometry(-10000, -10000, 450, 740);
        host.show();
        pause(160);
        if (!self)
            return;
        fit();
        host.resize(host.sizeHint());
        pause(160);
        if (!self)
            return;
        fit();
        const QImage image = host.grab().toImage();
        const QString file = name + QStringLiteral(".png");
        if (image.isNull())
            printLine(QStringLiteral("The ") + name + QStringLiteral(" hosting view could not be captured."));
        else if (!image.save(QDir(directory).filePath(file), "PNG"))
            printLine(QStringLiteral("Could not save ") + file);
        else
            printLine(QStringLiteral("Rendered ") + file);
        host.hide();
    }
    terminate();
}

void AppDelegate::applicationWillTerminate()
{
    if (m_terminated)
        return;
    m_terminated = true;
    if (m_instance)
        m_instance->close();
    if (!m_model)
        return;
    // quit() without asking for termination again: it sets shuttingDown, tears the wake listener
    // down, stops the conversation and every task and clears the key from memory.
    m_model->onTerminate = nullptr;
    m_model->quit();
    m_model->hotkey().uninstall();
}

void AppDelegate::terminate()
{
    if (m_terminating)
        return;
    m_terminating = true;
    applicationWillTerminate();
    // Each Codex process group got SIGTERM; the SIGKILL for what is left of it follows on this
    // event loop after the kill delay, so the loop outlives that delay (a group can outlive its
    // leader). The session's close message is given the same time to leave.
    auto* linger = new QTimer(this);
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    connect(linger, &QTimer::timeout, this, [this, linger, clock] {
        const bool closing = m_model && m_model->live().isConnected() && m_model->live().queuedMessages() > 0;
        if ((CodexRPC::pendingKills() > 0 || closing) && clock->elapsed() < 2 * CodexRPC::defaultKillDelayMs)
            return;
        linger->stop();
        QCoreApplication::quit();
    });
    linger->start(20);
}

// SIGTERM and SIGINT end Kestrabo as quitting does; the handler only wakes the main thread.
void AppDelegate::watchSignals()
{
    if (signalPipe[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return;
    m_signals = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(m_signals, &QSocketNotifier::activated, this, [this] {
        char byte;
        [[maybe_unused]] const ssize_t n = ::read(signalPipe[0], &byte, 1);
        terminate();
    });
    struct sigaction action{};
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

} // namespace kestrabo
