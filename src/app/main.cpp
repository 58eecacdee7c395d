// Process entry. Until the island panel exists the companion reports itself on standard
// output; `--demo` runs one conversation against whatever OPENAI_BASE_URL points at (the
// run script starts the voice stand-in for it) and then quits.

#include "app/AppModel.h"
#include "live/LiveConnection.h"
#include "platform/linux/LinuxSystemAccess.h"
#include "platform/linux/X11ScreenGrabber.h"
#include "system/CredentialStore.h"

#include <QApplication>
#include <QSettings>
#include <QTimer>

#include <cstdio>
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
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kestrabo"));
    QApplication::setOrganizationName(QStringLiteral("kestrabo"));
    QApplication::setQuitOnLastWindowClosed(false);

    const QStringList arguments = QApplication::arguments();
    const bool demo = arguments.contains(QStringLiteral("--demo"));

    X11ScreenGrabber grabber;
    LinuxSystemAccess access(&grabber);
    access.onExplanation = [](const QString&, const QString& text) {
        std::printf("settings: %s\n", qPrintable(text));
        std::fflush(stdout);
    };
    QSettings preferences;
    InMemoryCredentialStore store;
    if (demo)
        (void)store.save(QStringLiteral("demo-key"));

    AppModel model(AppModel::Options{.enableShortcuts = !demo, .loadCredentials = true}, store,
                   Platform{.access = &access, .preferences = &preferences, .grabber = &grabber});
    model.onTerminate = [] { QTimer::singleShot(0, qApp, &QCoreApplication::quit); };
    model.setExpanded(true);
    model.setSettings(true);
    new ConsoleObserver(model);

    if (demo) {
        model.toggle();
        QTimer::singleShot(8'000, &model, [&model] { model.stop(); });
        QObject::connect(&model, &AppModel::changed, &model, [&model] {
            const bool ended = model.state() == CompanionState::stopped || model.state() == CompanionState::failed;
            if (ended && !model.live().isConnected())
                model.quit();
        });
    }
    return QApplication::exec();
}
