#pragma once

#include <QString>

#include <memory>

namespace kestrabo {

// The one error type of the application. Errors raised by Kestrabo itself carry a finished
// sentence for the user (`message`); errors passed on from a platform service keep that
// service's domain and code so that callers can recognise them, and may wrap the error that
// caused them (`underlying`), as platform errors do.
class KestraboError {
public:
    static constexpr const char* messageDomain = "Kestrabo";
    static constexpr const char* cancellationDomain = "Cancellation";

    KestraboError(QString domain, long long code, QString description,
                  std::shared_ptr<const KestraboError> underlying = {});

    static KestraboError message(const QString& text);
    static KestraboError cancelled();

    const QString& domain() const { return m_domain; }
    long long code() const { return m_code; }
    const QString& description() const { return m_description; }
    const KestraboError* underlying() const { return m_underlying.get(); }
    bool isCancellation() const { return m_domain == QLatin1String(cancellationDomain); }

    KestraboError wrapping(const KestraboError& cause) const;

    friend bool operator==(const KestraboError& a, const KestraboError& b);

private:
    QString m_domain;
    long long m_code = 0;
    QString m_description;
    std::shared_ptr<const KestraboError> m_underlying;
};

} // namespace kestrabo
