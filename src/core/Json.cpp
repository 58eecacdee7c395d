#include "core/Json.h"

#include <QJsonDocument>
#include <QJsonParseError>

namespace kestrabo::json {

std::optional<QString> string(const QJsonObject& object, QStringView key)
{
    const QJsonValue value = object.value(key);
    if (!value.isString())
        return std::nullopt;
    return value.toString();
}

std::optional<double> number(const QJsonObject& object, QStringView key)
{
    const QJsonValue value = object.value(key);
    if (!value.isDouble())
        return std::nullopt;
    return value.toDouble();
}

std::optional<bool> boolean(const QJsonObject& object, QStringView key)
{
    const QJsonValue value = object.value(key);
    if (!value.isBool())
        return std::nullopt;
    return value.toBool();
}

std::optional<QJsonObject> object(const QJsonObject& object, QStringView key)
{
    const QJsonValue value = object.value(key);
    if (!value.isObject())
        return std::nullopt;
    return value.toObject();
}

std::optional<QJsonArray> array(const QJsonObject& object, QStringView key)
{
    const QJsonValue value = object.value(key);
    if (!value.isArray())
        return std::nullopt;
    return value.toArray();
}

QString type(const QJsonObject& object)
{
    return string(object, u"type").value_or(QString());
}

QByteArray compact(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

std::optional<QJsonValue> parse(const QByteArray& text)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(text, &error);
    if (error.error == QJsonParseError::NoError) {
        if (document.isObject())
            return QJsonValue(document.object());
        return QJsonValue(document.array());
    }
    // QJsonDocument rejects top-level scalars; they are valid JSON all the same.
    const QJsonDocument wrapped = QJsonDocument::fromJson("[" + text + "]", &error);
    if (error.error != QJsonParseError::NoError || wrapped.array().size() != 1)
        return std::nullopt;
    return wrapped.array().first();
}

} // namespace kestrabo::json
