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

    std::function<void(Result<T>)> sink() { return [this](Result<T> value) { result.emplace(std::move(value)); }; }
    bool wait() { return waitUntil([this] { return result.has_value(); }); }
    QString error() const { return result && !result->ok() ? result->error().description() : QString(); }
};

inline QJsonArray jsonArray(const char* text) { return QJsonDocument::fromJson(text).array(); }

inline constexpr const char* kKey = "sk-test-Zq81PLmN";

// Runs the Responses stand-in on loopback and points the transport at it.
class ResponsesSimTest : public ::testing::Test {
protected:
    void serve(const char* replies)
    {
        sim = std::make_unique<sim::ResponsesSim>(QJsonObject{{"replies", jsonArray(replies)}});
        ASSERT_NE(sim->start(), 0) << qPrintable(sim->errorString());
        ResponsesTransport::setEndpoint(sim->endpoint());
    }
    void TearDown() override { ResponsesTransport::setEndpoint(QUrl()); }
    QJsonObject body(int index) const { return sim->received().value(index).json(); }
    QString text(int index) const { return body(index)[u"input"][0][u"content"][0][u"text"].toString(); }

    std::unique_ptr<sim::ResponsesSim> sim;
};

// A whole display, and one with a circled region.
inline const ScreenSnapshot kDisplay{QByteArray("\xFF\xD8 display \xFB\xFF"), std::nullopt, {}, {}};
inline const ScreenSnapshot kCircled{QByteArray("\xFF\xD8 another \xFB\xFF"), QByteArray("\xFF\xD8 region \xFE"), {}, {}};

inline QJsonObject imagePart(const QByteArray& jpeg)
{
    return {{"type", "input_image"}, {"detail", "high"}, {"image_url", QString("data:image/jpeg;base64," + jpeg.toBase64())}};
}

inline QJsonObject textPart(const QString& text) { return {{"type", "input_text"}, {"text", text}}; }

// Checks what every service sends alike and returns the content of its one user message.
inline QJsonArray expectEnvelope(QJsonObject body, int maxTokens, bool withSchema)
{
    EXPECT_EQ(body.contains(u"text"), withSchema);
    const QJsonValue content = body[u"input"][0][u"content"];
    body.remove(u"instructions");
    body.remove(u"text");
    EXPECT_EQ(body, QJsonObject({{"model", "gpt-5.6-luna"}, {"store", false}, {"max_output_tokens", maxTokens},
                                 {"reasoning", QJsonObject{{"effort", "low"}}},
                                 {"input", QJsonArray{QJsonObject{{"role", "user"}, {"content", content}}}}}));
    return content.toArray();
}

// The schema's properties as they travel: in the order of `fields`, which the model follows.
inline void expectPropertiesInOrder(const QByteArray& raw, const QStringList& fields)
{
    const qsizetype properties = raw.indexOf("\"properties\":{");
    ASSERT_GE(properties, 0);
    qsizetype at = properties;
    for (const QString& field : fields) {
        const QByteArray key = "\"" + field.toUtf8() + "\":{";
        const qsizetype found = raw.indexOf(key, at);
        EXPECT_GT(found, at) << field.toStdString() << " out of order in " << raw.mid(properties, 300).constData();
        at = std::max(at, found);
    }
}

// A strict schema named `name` with exactly `fields`, all required in this order; returns the properties.
inline QJsonObject expectSchema(const QJsonObject& body, const char* name, QStringList fields)
{
    QJsonObject format = body[u"text"][u"format"].toObject();
    QJsonObject schema = format.take(u"schema").toObject();
    EXPECT_EQ(format, QJsonObject({{"type", "json_schema"}, {"name", name}, {"strict", true}}));
    const QJsonObject properties = schema.take(u"properties").toObject();
    EXPECT_EQ(schema, QJsonObject({{"type", "object"}, {"additionalProperties", false},
                                   {"required", QJsonArray::fromStringList(fields)}}));
    fields.sort();
    EXPECT_EQ(properties.keys(), fields);
    return properties;
}

} // namespace kestrabo::test
