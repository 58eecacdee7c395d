#include "app/AppModel.h"

namespace kestrabo {

void AppModel::showPreview(const QString& variant)
{
    const bool conversation = variant == u"conversation";
    setSettings(variant == u"settings");
    setExpanded(variant != u"collapsed");
    publish(m_active, conversation);
    setState(conversation ? CompanionState::listening : CompanionState::idle);
    publish(m_captions, conversation
                            ? QList<Caption>{Caption{QStringLiteral("You"), QStringLiteral("What is this button for?")},
                                             Caption{QStringLiteral("Kestrabo"),
                                                     QStringLiteral("Screen findings appear here during a connected "
                                                                    "conversation.")}}
                            : QList<Caption>{});
    publish(m_contextLabel, conversation ? QStringLiteral("Circled region included")
                                         : QStringLiteral("Screen context is off until you start"));
    publish(m_selected, conversation);
}

} // namespace kestrabo
