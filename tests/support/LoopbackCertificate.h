#pragma once

#include <QString>
#include <QTemporaryDir>

namespace kestrabo::test {

// A throwaway self-signed certificate for 127.0.0.1, made by the openssl program, which this
// process's TLS clients trust while it lives.
class LoopbackCertificate {
public:
    ~LoopbackCertificate();
    // Empty on success, else what went wrong.
    QString make();
    QString certificatePath() const { return m_directory.filePath(QStringLiteral("certificate.pem")); }
    QString keyPath() const { return m_directory.filePath(QStringLiteral("key.pem")); }

private:
    QTemporaryDir m_directory;
    bool m_trusted = false;
};

} // namespace kestrabo::test
