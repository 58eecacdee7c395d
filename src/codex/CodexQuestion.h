#pragma once

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

namespace kestrabo {

// One choice Codex offers for a question.
struct CodexQuestionOption {
    QString label;
    QString description;

    friend bool operator==(const CodexQuestionOption&, const CodexQuestionOption&) = default;
};

// One question Codex asks the user.
struct CodexQuestion {
    QString id;
    QString header;
    QString prompt;
    QList<CodexQuestionOption> options;
    bool allowsOther = false;
    bool isSecret = false;

    friend bool operator==(const CodexQuestion&, const CodexQuestion&) = default;
};

// The questions of one Codex server request. `id` is the request's id key ("n:7", "s:abc"),
// the handle by which the answers find their way back.
struct CodexQuestionRequest {
    QString id;
    QString itemID;
    QList<CodexQuestion> questions;

    friend bool operator==(const CodexQuestionRequest&, const CodexQuestionRequest&) = default;
};

// Answers as they travel back: question id to answer strings.
using CodexAnswers = QMap<QString, QStringList>;

} // namespace kestrabo
