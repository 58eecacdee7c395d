#include "core/ApiBase.h"

#include <QtGlobal>

#include <cstdio>

namespace kestrabo::api {

namespace {

QUrl withPath(const QUrl& base, const QString& suffix)
{
    QUrl url = base;
    QString path = url.path();
    while (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    url.setPath(path + suffix);
    return url;
}

} // namespace

QUrl baseFrom(const QByteArray& environmentValue, QString* problem)
{
    const QUrl fallback(QString::fromLatin1(defaultBase));
    const QString text = QString::fromUtf8(environmentValue).trimmed();
    if (text.isEmpty())
        return fallback;
    const QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty() || (scheme != u"http" && scheme != u"https")) {
        if (problem)
            *problem = QStringLiteral("OPENAI_BASE_URL must be an http or https URL; using %1.")
                           .arg(fallback.toString());
        return fallback;
    }
    return withPath(url, QString());
}

QUrl base()
{
    static const QUrl configured = [] {
        QString problem;
        const QUrl url = baseFrom(qgetenv("OPENAI_BASE_URL"), &problem);
        if (!problem.isEmpty())
            std::fprintf(stderr, "kestrabo: %s\n", qPrintable(problem));
        return url;
    }();
    return configured;
}

QUrl liveEndpoint(const QUrl& base)
{
    QUrl url = withPath(base, QStringLiteral("/live/sessions"));
    url.setScheme(base.scheme().toLower() == u"http" ? QStringLiteral("ws") : QStringLiteral("wss"));
    return url;
}

QUrl responsesEndpoint(const QUrl& base)
{
    return withPath(base, QStringLiteral("/responses"));
}

} // namespace kestrabo::api
