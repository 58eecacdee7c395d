#include "RoutingTestSupport.h"

#include "routing/RouteService.h"

namespace kestrabo::test {
namespace {

// One routing request against a misbehaving endpoint, with a 1-second limit: what the user
// reads. The stand-in stops afterwards, so a connection Qt kept for reuse closes too.
QString routingFailure(const QJsonObject& reply)
{
    sim::ResponsesSim endpoint(QJsonObject{{"replies", QJsonArray{reply}}});
    EXPECT_NE(endpoint.start(), 0);
    ResponsesTransport::setEndpoint(endpoint.endpoint());
    Outcome<RouteDecision> outcome;
    RouteService::classify("Book a table", QString(), QString::fromLatin1(kKey), std::nullopt, Job::start(),
                           outcome.sink(), 1.0);
    const bool ended = outcome.wait();
    endpoint.stop();
    ResponsesTransport::setEndpoint(QUrl());
    return !ended ? QStringLiteral("<no ending>") : outcome.result->ok() ? QStringLiteral("<ok>") : outcome.error();
}

TEST(ResponsesFaults, EachFaultEndsInItsSentenceWithoutLeakingADescriptor)
{
    const QJsonObject decision = sim::ResponsesSim::completedReply(
        R"({"route":"direct","task":"","tasks":[],"targetTask":null,"requiresScreen":false})");
    const QString body = QString::fromUtf8(QJsonDocument(decision).toJson(QJsonDocument::Compact));
    const QString timedOut = QStringLiteral("The request timed out.");
    const QString lost = QStringLiteral("The network connection was lost.");
    const std::pair<QJsonObject, QString> cases[] = {
        // Silent before the head, or stalled after part of the body: the request's limit ends both.
        {{{"delayMs", 5'000}}, timedOut},
        {{{"body", body}, {"stallAfter", 40}}, timedOut},
        {{{"status", 429}, {"json", json(R"({"error":{"message":"Rate limit reached"}})")}},
         "Request routing failed (HTTP 429). Check OpenAI access and billing."},
        {{{"status", 500}}, "Request routing failed (HTTP 500). Check OpenAI access and billing."},
        // Closed mid-body, or before any answer (Qt sends the request once more first).
        {{{"body", body}, {"cutAfter", 40}}, lost},
        {{{"drop", true}, {"repeat", true}}, lost},
        // Cut short by a proxy that declared only what it sent.
        {{{"body", body.left(40)}}, "The data couldn't be read because it isn't in the correct format."},
    };
    // Qt's one-time descriptors (its network thread); the dropped connection is closed by the time
    // the failure arrives, where a kept-alive one would close some time after the stand-in stops.
    routingFailure({{"drop", true}, {"repeat", true}});
    const int descriptors = openDescriptors();
    for (const auto& [reply, sentence] : cases) {
        const QByteArray name = QJsonDocument(reply).toJson(QJsonDocument::Compact).left(60);
        EXPECT_EQ(routingFailure(reply), sentence) << name.constData();
        EXPECT_TRUE(waitUntil([&] { return openDescriptors() == descriptors; }, 10'000))
            << name.constData() << ": " << openDescriptors() << " open, " << descriptors << " before";
    }
}

} // namespace
} // namespace kestrabo::test
