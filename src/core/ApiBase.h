#pragma once

#include <QUrl>

// Where the OpenAI API lives. OPENAI_BASE_URL points the whole application at another base
// (a stand-in on loopback, a proxy); it is read once per process.
namespace kestrabo::api {

inline constexpr const char* defaultBase = "https://api.openai.com/v1";

// The configured base, without a trailing slash. An unusable OPENAI_BASE_URL (not http or
// https) is reported on standard error once and the default is used.
QUrl base();

// Pure forms, for any base.
QUrl baseFrom(const QByteArray& environmentValue, QString* problem = nullptr);
QUrl liveEndpoint(const QUrl& base);
QUrl responsesEndpoint(const QUrl& base);

} // namespace kestrabo::api
