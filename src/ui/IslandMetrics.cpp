#include "ui/IslandMetrics.h"

#include <algorithm>
#include <cmath>

namespace kestrabo::island {

double maximumHeight(double screenHeight) { return std::min(screenHeight - 48, 760.0); }

double contentHeight(const ContentNeeds& needs, double maximumHeight, double notchHeight)
{
    const double available = maximumHeight - notchHeight - 8;
    double desired = 570;
    if (!needs.settings) {
        desired = needs.captions ? 470 : 330;
        desired += needs.sessions ? 210 : 0;
        desired += needs.audioNotice ? 44 : 0;
        desired += needs.error ? 64 : 0;
    }
    return std::max(180.0, std::min(available, desired));
}

QSizeF panelSize(const NotchGeometry& notch, bool expanded, bool busy, double contentHeight)
{
    if (expanded)
        return {std::max(notch.width + 192, 410.0), notch.notchHeight + contentHeight + 8};
    return {notch.width + (busy ? 192 : 88), notch.collapsedHeight};
}

double eased(double elapsedSeconds)
{
    const double progress = std::clamp(elapsedSeconds / kRevealSeconds, 0.0, 1.0);
    return 1 - std::pow(1 - progress, 3);
}

QString durationText(double seconds)
{
    if (!(seconds > 0))
        return {};
    const long long whole = static_cast<long long>(std::floor(seconds));
    return QString::asprintf("%lld:%02lld", whole / 60, whole % 60);
}

} // namespace kestrabo::island
