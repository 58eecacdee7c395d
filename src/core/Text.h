#pragma once

#include <QString>
#include <QByteArray>
#include <QStringList>

#include <optional>

// Text measures and cuts shared by every part that talks to a model or a process.
namespace kestrabo::text {

// Length of the text in UTF-8 bytes.
qsizetype utf8Length(QStringView text);

// Cuts the text into pieces of at most maxBytes UTF-8 bytes, between Unicode scalars.
// Empty text gives no pieces.
QStringList chunkByScalars(QStringView text, qsizetype maxBytes);

// Number of user-perceived characters (extended grapheme clusters).
qsizetype graphemeCount(const QString& text);

// The first `count` user-perceived characters.
QString graphemePrefix(const QString& text, qsizetype count);

// The last `count` user-perceived characters (all of the text when it is shorter).
QString graphemeSuffix(const QString& text, qsizetype count);

// True for white space and line breaks (the Unicode White_Space property).
bool isWhitespaceOrNewline(char32_t scalar);

// Removes white space and line breaks from both ends.
QString trimmed(const QString& text);

// True when the text holds something besides white space and line breaks.
bool hasContent(const QString& text);

// Standard Base64 (with padding) to bytes; nothing when the text is not valid Base64.
std::optional<QByteArray> decodeBase64(const QString& text);

// Strict UTF-8 to text; nothing when the bytes are not well-formed UTF-8.
std::optional<QString> decodeUtf8(const QByteArray& bytes);

} // namespace kestrabo::text
