#pragma once

#include <QObject>
#include <QPointer>
#include <QRectF>
#include <QScreen>

#include <functional>

namespace kestrabo {

// The lasso overlay shown while the shortcut key is held. Without an overlay it reports nothing.
class SelectionController : public QObject {
    Q_OBJECT
public:
    explicit SelectionController(QObject* parent = nullptr) : QObject(parent) {}

    std::function<void(QScreen* screen, const QRectF& rect)> onSelection;

    void show() {}
    void finish() {}
    void cancel() {}
};

} // namespace kestrabo
