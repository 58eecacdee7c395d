#include "routing/ResponsesBody.h"

namespace kestrabo::ResponsesBody {

QJsonObject textPart(const QString& text)
{
    return QJsonObject{{QStringLiteral("type"), QStringLiteral("input_text")},
                       {QStringLiteral("text"), text}};
}

QJsonObject imagePart(const QByteArray& jpeg)
{
    return QJsonObject{
        {QStringLiteral("type"), QStringLiteral("input_image")},
        {QStringLiteral("detail"), QStringLiteral("high")},
        {QStringLiteral("image_url"),
         QStringLiteral("data:image/jpeg;base64,") + QString::fromLatin1(jpeg.toBase64())},
    };
}

QJsonArray snapshotParts(const ScreenSnapshot& snapshot)
{
    QJsonArray parts{imagePart(snapshot.jpeg)};
    if (snapshot.crop)
        parts.append(imagePart(*snapshot.crop));
    return parts;
}

QJsonObject objectSchema(const QJsonObject& properties, const QStringList& fields)
{
    return QJsonObject{
        {QStringLiteral("type"), QStringLiteral("object")},
        {QStringLiteral("additionalProperties"), false},
        {QStringLiteral("properties"), properties},
        {QStringLiteral("required"), QJsonArray::fromStringList(fields)},
    };
}

QJsonObject jsonSchemaFormat(const QString& name, const QJsonObject& schema)
{
    return QJsonObject{{QStringLiteral("format"),
                        QJsonObject{
                            {QStringLiteral("type"), QStringLiteral("json_schema")},
                            {QStringLiteral("name"), name},
                            {QStringLiteral("strict"), true},
                            {QStringLiteral("schema"), schema},
                        }}};
}

QJsonObject body(const QString& instructions, const QJsonArray& content, int maxOutputTokens,
                 const std::optional<QJsonObject>& text)
{
    QJsonObject result{
        {QStringLiteral("model"), QString::fromLatin1(model)},
        {QStringLiteral("store"), false},
        {QStringLiteral("max_output_tokens"), maxOutputTokens},
        {QStringLiteral("reasoning"), QJsonObject{{QStringLiteral("effort"), QStringLiteral("low")}}},
        {QStringLiteral("instructions"), instructions},
        {QStringLiteral("input"),
         QJsonArray{QJsonObject{{QStringLiteral("role"), QStringLiteral("user")},
                                {QStringLiteral("content"), content}}}},
    };
    if (text)
        result.insert(QStringLiteral("text"), *text);
    return result;
}

} // namespace kestrabo::ResponsesBody
