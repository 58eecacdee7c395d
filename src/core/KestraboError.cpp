#include "core/KestraboError.h"

namespace kestrabo {

KestraboError::KestraboError(QString domain, long long code, QString description,
                             std::shared_ptr<const KestraboError> underlying)
    : m_domain(std::move(domain)), m_code(code), m_description(std::move(description)),
      m_underlying(std::move(underlying))
{
}

KestraboError KestraboError::message(const QString& text)
{
    return KestraboError(QString::fromLatin1(messageDomain), 0, text);
}

KestraboError KestraboError::cancelled()
{
    return KestraboError(QString::fromLatin1(cancellationDomain), 0,
                         QStringLiteral("The operation was cancelled."));
}

KestraboError KestraboError::wrapping(const KestraboError& cause) const
{
    return KestraboError(m_domain, m_code, m_description, std::make_shared<KestraboError>(cause));
}

bool operator==(const KestraboError& a, const KestraboError& b)
{
    return a.m_domain == b.m_domain && a.m_code == b.m_code && a.m_description == b.m_description;
}

} // namespace kestrabo
