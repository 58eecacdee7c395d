#include "live-sim/LiveSim.h"
#include "live/LiveConnection.h"
#include "support/TestSupport.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <memory>

using namespace kestrabo;
using sim::LiveSim;

namespace {

enum class Fault { none, drop, stall, oversized, largest };

// A text event of exactly `bytes` bytes.
QString eventOfSize(qsizetype bytes)
{
    const QString head = QStringLiteral(R"({"type":"test.padding","pad":")");
    return head + QString(bytes - head.size() - 2, QLatin1Char('a')) + QStringLiteral("\"}");
}

// One session against the voice stand-in, ended by `fault`; what the owner heard.
QStringList run(Fault fault, bool* sawLargest)
{
    LiveSim server(fault == Fault::stall
                       ? test::json(R"({"rules": [{"on": "session.start", "steps": [{"delayMs": 100}, {"stall": true}]}]})")
                       : QJsonObject{});
    EXPECT_NE(server.start(), 0);
    LiveConnection connection;
    QStringList failures;
    connection.setEndpoint(server.endpoint());
    connection.onFailure = [&](const QString& message) { failures.append(message); };
    connection.onEvent = [&](const QJsonObject& event) {
        if (event.value("type") == "test.padding")
            *sawLargest = true;
    };
    connection.open("sk-test");
    EXPECT_TRUE(test::waitUntil([&] { return connection.isReady(); }, 10'000));
    switch (fault) {
    case Fault::none:
        connection.close();
        break;
    case Fault::drop:
        server.closeConnections(1011);
        break;
    case Fault::stall:
        // Microphone audio keeps coming while the server reads nothing.
        for (int i = 0; failures.isEmpty() && i < 20'000; ++i) {
            connection.audio(QByteArray(4'800, '\7'));
            QCoreApplication::processEvents();
        }
        break;
    case Fault::oversized:
        server.sendText(eventOfSize(LiveConnection::maxIncomingMessageBytes + 1));
        break;
    case Fault::largest:
        server.sendText(eventOfSize(LiveConnection::maxIncomingMessageBytes));
        test::waitUntil([&] { return *sawLargest; }, 10'000);
        connection.close();
        break;
    }
    test::waitUntil([&] { return !failures.isEmpty() || !connection.isConnected(); }, 10'000);
    test::spin(50);
    server.stop();
    return failures;
}

} // namespace

TEST(LiveConnectionFaults, EachFaultEndsInItsSentenceWithoutLeakingADescriptor)
{
    const QString ended = "Voice connection ended. Check your API key, model access, and network, then retry.";
    const std::tuple<Fault, QStringList, bool> cases[] = {
        {Fault::drop, {ended}, false},
        {Fault::stall, {"The connection cannot keep up with microphone audio. Please reconnect."}, false},
        {Fault::oversized, {ended}, false},
        // The largest message allowed arrives whole.
        {Fault::largest, {}, true},
    };
    bool unused = false;
    run(Fault::none, &unused); // Qt's one-time descriptors (event notifiers, resolver) stay open
    const int descriptors = test::openDescriptors();
    for (const auto& [fault, sentences, arrives] : cases) {
        bool sawLargest = false;
        EXPECT_EQ(run(fault, &sawLargest), sentences) << int(fault);
        EXPECT_EQ(sawLargest, arrives) << int(fault);
        EXPECT_TRUE(test::waitUntil([&] { return test::openDescriptors() == descriptors; }))
            << int(fault) << ": " << test::openDescriptors() << " open, " << descriptors << " before";
    }
}
