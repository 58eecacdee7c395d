// What the island's views read and call beyond the published fields.

#include "app/AppModel.h"
#include "platform/SystemAccess.h"

namespace kestrabo {

bool AppModel::codexInstalled() const { return m_codexInstalled && m_codexInstalled(); }

void AppModel::openPrivacyPane(const QString& anchor)
{
    if (m_platform.access)
        m_platform.access->openPrivacyPane(anchor);
}

} // namespace kestrabo
