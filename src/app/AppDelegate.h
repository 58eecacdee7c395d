#pragma once

#include "app/AppBundle.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <memory>

class QSocketNotifier;

namespace kestrabo {

class AppModel;
class PanelController;
class SingleInstance;
struct LinuxPlatform;

// What the command line asks for. Options match anywhere in the list, exactly.
struct LaunchOptions {
    enum class Mode { normal, diagnostics, preview, toggle, demo, help, version, usage };
    Mode mode = Mode::normal;
    // For `demo`: the voice service's base URL.
    QString voiceBase;
    // For `usage`: what was wrong.
    QString problem;

    // `arguments` without the program's name.
    static LaunchOptions parse(const QStringList& arguments);
    static QString usage();
};

// Builds the process's objects for one launch mode and runs the orderly shutdown.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    explicit AppDelegate(LaunchOptions options, QObject* parent = nullptr);
    ~AppDelegate() override;

    // Chooses the mode and builds the object graph. False when this process should end at
    // once because another instance took the launch over.
    bool applicationDidFinishLaunching();
    // Shuts the model down; runs at most once, on every way out.
    void applicationWillTerminate();
    // Closing the island or the preview window never ends the process.
    static bool applicationShouldTerminateAfterLastWindowClosed() { return false; }

    // Shuts down, lets the Codex children's grace period run out, then ends the event loop.
    void terminate();

    AppModel* model() const { return m_model; }
    PanelController* controller() const { return m_controller; }

private:
    void runDiagnostics();
    void runPreview();
    void buildModel(bool preview);
    void startDemo();
    void command(const QByteArray& command);
    void watchSignals();

    const LaunchOptions m_options;
    const AppBundle m_bundle;
    std::unique_ptr<LinuxPlatform> m_platform;
    AppModel* m_model = nullptr;
    PanelController* m_controller = nullptr;
    SingleInstance* m_instance = nullptr;
    QSocketNotifier* m_signals = nullptr;
    bool m_terminating = false;
    bool m_terminated = false;
};

} // namespace kestrabo
