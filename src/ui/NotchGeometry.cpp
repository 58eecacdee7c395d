#include "ui/NotchGeometry.h"

namespace kestrabo {

NotchGeometry NotchGeometry::measure(double topSafeAreaInset, const std::optional<QRectF>& leftArea,
                                     const std::optional<QRectF>& rightArea)
{
    if (topSafeAreaInset > 0 && leftArea && rightArea && leftArea->right() < rightArea->left())
        return {rightArea->left() - leftArea->right(), topSafeAreaInset, topSafeAreaInset};
    return {};
}

} // namespace kestrabo
