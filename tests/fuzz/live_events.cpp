// Server events, one per line, through the voice connection's decoding into the model.
#include "FuzzSupport.h"

#include "live/LiveConnection.h"
#include "support/ModelFixture.h"

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
struct Companion : test::ModelFixture {
    Companion()
    {
        access.holdRequests = true;
        make({.enableShortcuts = false, .loadCredentials = false});
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
