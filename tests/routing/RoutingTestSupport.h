#pragma once

#include "core/Job.h"
#include "core/Result.h"
#include "responses-sim/ResponsesSim.h"
#include "routing/ResponsesTransport.h"
#include "routing/ScreenContext.h"
#include "support/TestSupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>

namespace kestrabo::test {

// Collects the one result of an asynchronous call.
template <class T>
struct Outcome {
    std::optional<Result<T>> result;
    int calls = 0;

    std::function<void(Result<T>)> sink()
    {
        return [this](Result<T> value) {
            ++calls;
            result.emplace(std::move(value));
        };
    }
    bool wait() { return waitUntil([this] { return result.has_value(); }); }
    QString error() const { return result && !result->ok() ? result->error().description() : QString(); }
};

// Runs the Responses stand-in on loopback and points the transport at it.
class ResponsesSimTest : public ::testing::Test {
protected:
    static constexpr const char* key = "sk-test-Zq81PLmN";

    void serve(const QJsonArray& replies, const QJsonObject& fallback = {})
    {
        QJsonObject scenario{{QStringLiteral("replies"), replies}};
        if (!fallback.isEmpty())
            scenario.insert(QStringLiteral("default"), fallback);
        sim = std::make_unique<sim::ResponsesSim>(scenario);
        ASSERT_NE(sim->start(), 0) << qPrintable(sim->errorString());
        ResponsesTransport::setEndpoint(sim->endpoint());
    }

    void TearDown() override
    {
        ResponsesTransport::setEndpoint(QUrl());
        sim.reset();
    }

    // The body of the only request the stand-in saw.
    QJsonObject onlyBody() const
    {
        const auto received = sim->received();
        EXPECT_EQ(received.size(), 1);
        return received.isEmpty() ? QJsonObject() : received.first().json();
    }

    std::unique_ptr<sim::ResponsesSim> sim;
};

inline QJsonObject outputText(const QString& text)
{
    return QJsonObject{{QStringLiteral("outputText"), text}};
}

inline QJsonObject jsonFrom(const char* text)
{
    return QJsonDocument::fromJson(QByteArray(text)).object();
}

inline ScreenSnapshot snapshot(bool withCrop)
{
    ScreenSnapshot shot;
    shot.jpeg = QByteArray("\xFF\xD8\xFF\xE0 display \xFB\xFF", 14);
    if (withCrop)
        shot.crop = QByteArray("\xFF\xD8\xFF\xE0 region \xFE\xFF", 13);
    shot.capturedAt = QDateTime::currentDateTimeUtc();
    shot.displayName = QStringLiteral("Built-in Display");
    return shot;
}

inline QJsonObject imagePart(const QByteArray& jpeg)
{
    return QJsonObject{{QStringLiteral("type"), QStringLiteral("input_image")},
                       {QStringLiteral("detail"), QStringLiteral("high")},
                       {QStringLiteral("image_url"),
                        QStringLiteral("data:image/jpeg;base64,") + QString::fromLatin1(jpeg.toBase64())}};
}

inline QJsonObject textPart(const QString& text)
{
    return QJsonObject{{QStringLiteral("type"), QStringLiteral("input_text")}, {QStringLiteral("text"), text}};
}

// The request every service sends, written out independently of the code under test.
inline QJsonObject expectedBody(int maxTokens, const QString& instructions, const QJsonArray& content,
                                const QJsonObject& text = {})
{
    QJsonObject body = jsonFrom(R"({"model":"gpt-5.6-luna","store":false,"reasoning":{"effort":"low"}})");
    body.insert(QStringLiteral("max_output_tokens"), maxTokens);
    body.insert(QStringLiteral("instructions"), instructions);
    body.insert(QStringLiteral("input"),
                QJsonArray{QJsonObject{{QStringLiteral("role"), QStringLiteral("user")},
                                       {QStringLiteral("content"), content}}});
    if (!text.isEmpty())
        body.insert(QStringLiteral("text"), text);
    return body;
}

} // namespace kestrabo::test
