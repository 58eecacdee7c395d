#pragma once

#include "live-sim/LiveSim.h"
#include "live/LiveConnection.h"
#include "responses-sim/ResponsesSim.h"
#include "routing/ResponsesTransport.h"
#include "support/FakeGrabber.h"
#include "support/ModelFixture.h"
#include "support/TestSupport.h"

#include <QJsonArray>

namespace kestrabo::test {

using namespace Qt::StringLiterals;

// Counts the captures a model asks for, passing each to the real backend.
class CountingGrabber final : public ScreenGrabber {
public:
    explicit CountingGrabber(ScreenGrabber& inner) : m_inner(inner) {}
    int captures = 0;

    bool preflight() override { return m_inner.preflight(); }
    void shareableDisplays(std::function<void(Result<QList<ShareableDisplay>>)> done) override
    {
        m_inner.shareableDisplays(std::move(done));
    }
    void capture(const QString& identifier, QSize pixelSize, std::function<void(Result<QImage>)> done) override
    {
        ++captures;
        m_inner.capture(identifier, pixelSize, std::move(done));
    }

private:
    ScreenGrabber& m_inner;
};

// A whole conversation on loopback: the companion model, its voice connection to the voice
// stand-in, the Responses stand-in for routing and vision, and a capture backend (a real X
// display in the tests that need one, a fake one otherwise).
struct Conversation : ModelFixture {
    sim::LiveSim voice;
    sim::ResponsesSim responses;
    FakeGrabber fake;
    std::unique_ptr<CountingGrabber> counting;

    explicit Conversation(const QJsonArray& replies, QJsonObject voiceScenario = {})
        : voice(std::move(voiceScenario)), responses(QJsonObject{{u"replies"_s, replies}})
    {
        fake.displays = {ShareableDisplay{QString(), u"Test Display"_s, QRect(0, 0, 800, 600)}};
        fake.image = QImage(800, 600, QImage::Format_RGB32);
        fake.image.fill(QColor(30, 120, 200));
        access.screenPreflight = true;
        useGrabber(fake);
    }

    ~Conversation() { ResponsesTransport::setEndpoint(QUrl()); }

    void useGrabber(ScreenGrabber& grabber)
    {
        counting = std::make_unique<CountingGrabber>(grabber);
        platform.grabber = counting.get();
    }
    int captures() const { return counting ? counting->captures : 0; }

    // Starts both stand-ins and a model that holds `key`; true once both listen.
    bool prepare(const QString& key = u"sk-e2e"_s)
    {
        if (voice.start() == 0 || responses.start() == 0)
            return false;
        ResponsesTransport::setEndpoint(responses.endpoint());
        make();
        model->live().setEndpoint(voice.endpoint());
        model->setApiKey(key);
        return true;
    }

    // A conversation on a prepared model; true once the model listens.
    bool open(const QString& key = u"sk-e2e"_s)
    {
        if (!prepare(key))
            return false;
        model->toggle();
        return waitUntil([this] { return model->state() == CompanionState::listening; }, 10'000);
    }

    void say(const QString& text, double startMs, double endMs)
    {
        voice.send(event(u"session.input_transcript.delta"_s,
                         {{u"delta"_s, text}, {u"start_ms"_s, startMs}, {u"end_ms"_s, endMs}}));
    }

    void delegate(const QString& id)
    {
        voice.send(event(u"session.delegation.created"_s,
                         {{u"delegation"_s, QJsonObject{{u"target"_s, u"client"_s}, {u"id"_s, id}}}}));
    }

    // Says `text` as one utterance and delegates it as "d1"; true once answered.
    bool ask(const QString& text)
    {
        say(text, 0, 600);
        delegate(u"d1"_s);
        return waitForAnswer(u"d1"_s);
    }

    // The spoken text the voice model received for one delegation, chunks joined.
    QString answer(const QString& delegation) const
    {
        QString text;
        for (const QJsonObject& event : voice.received(u"session.commentary.append"_s)) {
            if (event.value(u"delegation_id"_s).toString() == delegation)
                text += event.value(u"content"_s).toString();
        }
        return text;
    }

    bool waitForAnswer(const QString& delegation, int timeoutMs = 10'000) const
    {
        return waitUntil([&] { return !answer(delegation).isEmpty(); }, timeoutMs);
    }

    // Context the model sent after the session started, of one type.
    qsizetype contextCount(const QString& type) const { return voice.received(type).size(); }

    QList<QJsonObject> requestBodies(const QString& containing) const
    {
        QList<QJsonObject> bodies;
        for (const auto& request : responses.received()) {
            if (request.body.contains(containing.toUtf8()))
                bodies.append(request.json());
        }
        return bodies;
    }
};

// Routing replies the stand-in gives, matched to the routing request by its schema name.
inline QJsonObject routeReply(const QString& route, bool requiresScreen, QJsonObject extra = {})
{
    QJsonObject decision{{u"route"_s, route}, {u"task"_s, u"the request"_s}, {u"requiresScreen"_s, requiresScreen}};
    for (auto it = extra.begin(); it != extra.end(); ++it)
        decision.insert(it.key(), it.value());
    return QJsonObject{{u"match"_s, u"\"question_route\""_s}, {u"outputJSON"_s, decision}};
}

inline QJsonObject visionReply(const QString& observations)
{
    return QJsonObject{{u"match"_s, u"You provide screen observations"_s}, {u"outputText"_s, observations}};
}

} // namespace kestrabo::test
