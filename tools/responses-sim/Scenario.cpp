#include "responses-sim/Scenario.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>

namespace kestrabo::sim {

namespace {

const QSet<QString> kReplyKeys{
    QStringLiteral("match"),  QStringLiteral("status"),      QStringLiteral("body"),
    QStringLiteral("json"),   QStringLiteral("outputText"),  QStringLiteral("outputJSON"),
    QStringLiteral("delayMs"), QStringLiteral("repeat"),     QStringLiteral("drop"),
    QStringLiteral("contentType"), QStringLiteral("comment"),     QStringLiteral("location"),
    QStringLiteral("cutAfter"), QStringLiteral("stallAfter"),
};

QByteArray compact(const QJsonValue& value)
{
    if (value.isObject())
        return QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact);
    if (value.isArray())
        return QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact);
    // Scalars: serialise inside an array and strip the brackets.
    QByteArray text = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return text.mid(1, text.size() - 2);
}

std::optional<ScriptedReply> parseReply(const QJsonValue& value, const QString& where, QString* error)
{
    auto fail = [&](const QString& reason) -> std::optional<ScriptedReply> {
        if (error)
            *error = where + QStringLiteral(": ") + reason;
        return std::nullopt;
    };
    if (!value.isObject())
        return fail(QStringLiteral("a reply must be an object"));
    const QJsonObject object = value.toObject();
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!kReplyKeys.contains(it.key()))
            return fail(QStringLiteral("unknown key \"%1\"").arg(it.key()));
    }

    ScriptedReply reply;
    if (object.contains(u"match")) {
        if (!object.value(u"match").isString() || object.value(u"match").toString().isEmpty())
            return fail(QStringLiteral("\"match\" must be a non-empty string"));
        reply.match = object.value(u"match").toString();
    }
    if (object.contains(u"status")) {
        const QJsonValue status = object.value(u"status");
        const int code = status.toInt(-1);
        if (!status.isDouble() || status.toDouble() != code || code < 200 || code > 599)
            return fail(QStringLiteral("\"status\" must be an integer from 200 to 599"));
        reply.status = code;
    }
    if (object.contains(u"delayMs")) {
        const QJsonValue delay = object.value(u"delayMs");
        const int ms = delay.toInt(-1);
        if (!delay.isDouble() || delay.toDouble() != ms || ms < 0)
            return fail(QStringLiteral("\"delayMs\" must be a non-negative integer"));
        reply.delayMs = ms;
    }
    for (auto [key, target] : {std::pair{u"cutAfter", &reply.cutAfter}, std::pair{u"stallAfter", &reply.stallAfter}}) {
        const QJsonValue bytes = object.value(QStringView(key));
        if (bytes.isUndefined())
            continue;
        if (!bytes.isDouble() || bytes.toDouble() != bytes.toInteger() || bytes.toInteger() < 0)
            return fail(QStringLiteral("\"%1\" must be a non-negative integer").arg(QString::fromUtf16(key)));
        *target = bytes.toInteger();
    }
    if (reply.cutAfter >= 0 && reply.stallAfter >= 0)
        return fail(QStringLiteral("give at most one of \"cutAfter\", \"stallAfter\""));
    for (const char16_t* flag : {u"repeat", u"drop"}) {
        const QJsonValue v = object.value(QStringView(flag));
        if (!v.isUndefined() && !v.isBool())
            return fail(QStringLiteral("\"%1\" must be true or false").arg(QString::fromUtf16(flag)));
    }
    reply.repeat = object.value(u"repeat").toBool();
    reply.drop = object.value(u"drop").toBool();
    if (object.contains(u"contentType")) {
        if (!object.value(u"contentType").isString())
            return fail(QStringLiteral("\"contentType\" must be a string"));
        reply.contentType = object.value(u"contentType").toString().toUtf8();
    }
    if (object.contains(u"location")) {
        if (!object.value(u"location").isString())
            return fail(QStringLiteral("\"location\" must be a string"));
        reply.location = object.value(u"location").toString().toUtf8();
    }

    int bodies = 0;
    if (object.contains(u"body")) {
        ++bodies;
        if (!object.value(u"body").isString())
            return fail(QStringLiteral("\"body\" must be a string (raw text); use \"json\" for a JSON value"));
        reply.body = object.value(u"body").toString().toUtf8();
    }
    if (object.contains(u"json")) {
        ++bodies;
        reply.body = compact(object.value(u"json"));
    }
    if (object.contains(u"outputText")) {
        ++bodies;
        if (!object.value(u"outputText").isString())
            return fail(QStringLiteral("\"outputText\" must be a string"));
        reply.body = compact(completedResponse(object.value(u"outputText").toString()));
    }
    if (object.contains(u"outputJSON")) {
        ++bodies;
        reply.body = compact(completedResponse(QString::fromUtf8(compact(object.value(u"outputJSON")))));
    }
    if (bodies > 1)
        return fail(QStringLiteral("give at most one of \"body\", \"json\", \"outputText\", \"outputJSON\""));
    return reply;
}

} // namespace

QJsonObject completedResponse(const QString& text)
{
    return QJsonObject{
        {QStringLiteral("id"), QStringLiteral("resp_sim")},
        {QStringLiteral("object"), QStringLiteral("response")},
        {QStringLiteral("status"), QStringLiteral("completed")},
        {QStringLiteral("output"),
         QJsonArray{QJsonObject{
             {QStringLiteral("type"), QStringLiteral("message")},
             {QStringLiteral("role"), QStringLiteral("assistant")},
             {QStringLiteral("content"),
              QJsonArray{QJsonObject{{QStringLiteral("type"), QStringLiteral("output_text")},
                                     {QStringLiteral("text"), text}}}},
         }}},
    };
}

std::optional<ResponsesScenario> parseResponsesScenario(const QJsonObject& scenario, QString* error)
{
    for (auto it = scenario.begin(); it != scenario.end(); ++it) {
        if (it.key() != u"replies" && it.key() != u"default" && it.key() != u"comment") {
            if (error)
                *error = QStringLiteral("unknown scenario key \"%1\"").arg(it.key());
            return std::nullopt;
        }
    }
    ResponsesScenario result;
    result.fallback.status = 500;
    result.fallback.repeat = true;
    result.fallback.body = compact(QJsonObject{
        {QStringLiteral("error"),
         QJsonObject{{QStringLiteral("message"), QStringLiteral("The stand-in has no reply left for this request.")},
                     {QStringLiteral("type"), QStringLiteral("server_error")}}}});

    const QJsonValue replies = scenario.value(u"replies");
    if (!replies.isUndefined() && !replies.isArray()) {
        if (error)
            *error = QStringLiteral("\"replies\" must be an array");
        return std::nullopt;
    }
    const QJsonArray list = replies.toArray();
    for (qsizetype i = 0; i < list.size(); ++i) {
        auto reply = parseReply(list.at(i), QStringLiteral("replies[%1]").arg(i), error);
        if (!reply)
            return std::nullopt;
        result.replies.append(*reply);
    }
    if (scenario.contains(u"default")) {
        auto fallback = parseReply(scenario.value(u"default"), QStringLiteral("default"), error);
        if (!fallback)
            return std::nullopt;
        if (!fallback->match.isEmpty()) {
            if (error)
                *error = QStringLiteral("default: a default reply takes no \"match\"");
            return std::nullopt;
        }
        fallback->repeat = true;
        result.fallback = *fallback;
    }
    return result;
}

} // namespace kestrabo::sim
