#include "routing/ResponsesBody.h"

#include <QJsonDocument>

namespace kestrabo::ResponsesBody {

namespace {

void write(QByteArray& out, const QJsonValue& value, const QStringList& order = {});

void writeScalar(QByteArray& out, const QJsonValue& value)
{
    const QByteArray wrapped = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    out.append(wrapped.constData() + 1, wrapped.size() - 2);
}

void writeObject(QByteArray& out, const QJsonObject& object, const QStringList& order)
{
    QStringList keys;
    for (const QString& key : order) {
        if (object.contains(key) && !keys.contains(key))
            keys.append(key);
    }
    for (const QString& key : object.keys()) {
        if (!keys.contains(key))
            keys.append(key);
    }
    QStringList required;
    if (object.value(u"properties").isObject()) {
        for (const QJsonValue& field : object.value(u"required").toArray())
            required.append(field.toString());
    }
    out.append('{');
    for (qsizetype i = 0; i < keys.size(); ++i) {
        if (i > 0)
            out.append(',');
        writeScalar(out, keys[i]);
        out.append(':');
        write(out, object.value(keys[i]), keys[i] == u"properties" ? required : QStringList());
    }
    out.append('}');
}

void write(QByteArray& out, const QJsonValue& value, const QStringList& order)
{
    if (value.isObject()) {
        writeObject(out, value.toObject(), order);
    } else if (value.isArray()) {
        out.append('[');
        const QJsonArray array = value.toArray();
        for (qsizetype i = 0; i < array.size(); ++i) {
            if (i > 0)
                out.append(',');
            write(out, array.at(i));
        }
        out.append(']');
    } else {
        writeScalar(out, value);
    }
}

} // namespace

QByteArray serialize(const QJsonObject& body)
{
    QByteArray out;
    writeObject(out, body, {});
    return out;
}

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
