#include "support/LoopbackCertificate.h"

#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>

namespace kestrabo::test {

LoopbackCertificate::~LoopbackCertificate()
{
    if (m_trusted) {
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setCaCertificates(QSslConfiguration::systemCaCertificates());
        QSslConfiguration::setDefaultConfiguration(configuration);
    }
}

QString LoopbackCertificate::make()
{
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("ec"),
                   QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                   QStringLiteral("-days"), QStringLiteral("1"), QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1"),
                   QStringLiteral("-addext"), QStringLiteral("subjectAltName=IP:127.0.0.1"), QStringLiteral("-keyout"),
                   keyPath(), QStringLiteral("-out"), certificatePath()});
    if (!openssl.waitForFinished(10'000) || openssl.exitCode() != 0)
        return QStringLiteral("openssl failed: ") + QString::fromUtf8(openssl.readAll());
    const QList<QSslCertificate> certificates = QSslCertificate::fromPath(certificatePath());
    if (certificates.isEmpty())
        return QStringLiteral("the certificate cannot be read");
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificates(certificates);
    QSslConfiguration::setDefaultConfiguration(configuration);
    m_trusted = true;
    return {};
}

} // namespace kestrabo::test
