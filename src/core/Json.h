#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <optional>

// Typed reads of JSON values. QJsonValue keeps booleans and numbers apart; these helpers
// make every caller honour that: a number is never read as a boolean or the other way round.
namespace kestrabo::json {

std::optional<QString> string(const QJsonObject& object, QStringView key);
std::optional<double> number(const QJsonObject& object, QStringView key);
std::optional<bool> boolean(const QJsonObject& object, QStringView key);
std::optional<QJsonObject> object(const QJsonObject& object, QStringView key);
std::optional<QJsonArray> array(const QJsonObject& object, QStringView key);

// The event's "type" when it is a string, else the empty string.
QString type(const QJsonObject& object);

// Compact UTF-8 serialisation.
QByteArray compact(const QJsonObject& object);

// Parses any JSON text, scalars included. Nothing when the text is not valid JSON.
std::optional<QJsonValue> parse(const QByteArray& text);

} // namespace kestrabo::json
