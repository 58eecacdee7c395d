#pragma once

#include <QColor>
#include <QIcon>
#include <QString>

namespace kestrabo::island {

// Our own line icons for the dark island, named after the symbols they stand in for
// ("chevron.up", "gearshape", "xmark", "power", "mic.fill", "stop.fill", "display", "lasso",
// "headphones", "checkmark.circle.fill", "circle", "exclamationmark.circle"). An unknown name
// gives an empty icon.
QIcon icon(const QString& name, const QColor& colour = Qt::white);

} // namespace kestrabo::island
