// Server events, one per line, through the voice connection's decoding into the model.
#include "FuzzSupport.h"

#include "app/AppModel.h"
#include "live/LiveConnection.h"
#include "platform/StaticSystemAccess.h"
#include "support/FakeAudioDevice.h"
#include "support/ScriptedRecognizer.h"
#include "system/CredentialStore.h"

#include <QSettings>
#include <QTemporaryDir>

namespace kestrabo {

struct LiveConnectionProbe {
    static void receive(LiveConnection& connection, const QByteArray& message)
    {
        connection.receive(message, connection.m_generation);
    }
};

namespace {

// The microphone answer is held, so a conversation stays open without a socket and every
// event reaches the model as it would from the service.
struct Companion {
    QTemporaryDir directory;
    QSettings preferences{directory.filePath(QStringLiteral("preferences.ini")), QSettings::IniFormat};
    StaticSystemAccess access;
    InMemoryCredentialStore store;
    std::unique_ptr<AppModel> model;

    Companion()
    {
        access.holdRequests = true;
        Platform platform;
        platform.access = &access;
        platform.preferences = &preferences;
        platform.audioDevice = test::FakeAudioDevice::factory(std::make_shared<test::FakeAudioScript>());
        platform.speechRecognizer = test::RecognizerScript::factory(std::make_shared<test::RecognizerScript>());
        model = std::make_unique<AppModel>(AppModel::Options{.enableShortcuts = false, .loadCredentials = false},
                                           store, platform);
        model->setApiKey(QStringLiteral("sk-fuzz"));
    }

    void ensureActive()
    {
        if (model->active())
            return;
        // Answers left over from an ended conversation are stale and ignored.
        while (access.hasHeldMicrophoneRequest())
            access.answerMicrophone(false);
        model->toggle();
        QCoreApplication::processEvents();
    }
};

} // namespace
} // namespace kestrabo

using namespace kestrabo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::startApplication();
    static Companion companion;
    companion.ensureActive();
    for (const QByteArray& message : fuzz::lines(data, size)) {
        LiveConnectionProbe::receive(companion.model->live(), QByteArray(message.constData(), message.size()));
        companion.ensureActive();
    }
    QCoreApplication::processEvents();
    return 0;
}
