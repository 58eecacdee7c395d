#pragma once

#include "core/Job.h"
#include "core/Result.h"
#include "routing/ScreenContext.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace kestrabo {

// What kind of work a delegated request is. The wire values are those of the schema.
enum class QuestionRoute { direct, screen, task, showBrowser };

QString rawValue(QuestionRoute route);
std::optional<QuestionRoute> questionRouteFrom(QStringView raw);

// A routing decision that holds together (see RouteService::parse). Values stay as decoded.
struct RouteDecision {
    QuestionRoute route = QuestionRoute::direct;
    QString task;
    bool requiresScreen = false;
    QStringList tasks;
    std::optional<QString> targetTask;

    friend bool operator==(const RouteDecision&, const RouteDecision&) = default;
};

// Classifies the user's latest request with the text model. Stateless; main thread.
namespace RouteService {

using Completion = std::function<void(Result<RouteDecision>)>;

inline constexpr double defaultTimeoutSeconds = 30;
inline constexpr int maxOutputTokens = 1200;
inline constexpr qsizetype historyLimit = 16'000; // user-perceived characters, from the end

// Completes in a later turn of the event loop with a decision that holds together, or one
// error. A blank question fails without sending anything. Nothing is captured here: the
// caller passes the snapshot it already has, or none.
void classify(const QString& question, const QString& history, const QString& key,
              const std::optional<ScreenSnapshot>& snapshot, const Job& job, Completion completion,
              double timeoutSeconds = defaultTimeoutSeconds);

// The decision in a reply, checked.
Result<RouteDecision> parse(const QJsonObject& reply);

// The pieces of the request.
const QString& instructions();
QJsonObject schema();
QString inputText(const QString& question, const QString& history, bool withSnapshot);
QJsonObject body(const QString& question, const QString& history,
                 const std::optional<ScreenSnapshot>& snapshot);

} // namespace RouteService

} // namespace kestrabo
