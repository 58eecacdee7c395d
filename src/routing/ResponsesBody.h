#pragma once

#include "routing/ScreenContext.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QStringList>

#include <optional>

// The request shape the three model-backed services share. Pure.
namespace kestrabo::ResponsesBody {

inline constexpr const char* model = "gpt-5.6-luna";

QJsonObject textPart(const QString& text);

// A high-detail image given inline as a JPEG data URL.
QJsonObject imagePart(const QByteArray& jpeg);

// The display image, then the circled region when there is one.
QJsonArray snapshotParts(const ScreenSnapshot& snapshot);

// A strict object schema: no other properties, every listed field required, in this order.
QJsonObject objectSchema(const QJsonObject& properties, const QStringList& fields);

// The `text` value asking for JSON that matches `schema`.
QJsonObject jsonSchemaFormat(const QString& name, const QJsonObject& schema);

// The body's bytes. A schema's `properties` are written in the order of its `required` list,
// the order the model fills the fields in (a QJsonObject alone would sort them); everything
// else is written as QJsonDocument writes it.
QByteArray serialize(const QJsonObject& body);

// One user message with `content`; `text` is left out when the answer is free text.
QJsonObject body(const QString& instructions, const QJsonArray& content, int maxOutputTokens,
                 const std::optional<QJsonObject>& text);

} // namespace kestrabo::ResponsesBody
