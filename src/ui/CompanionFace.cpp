#include "ui/CompanionFace.h"

#include <QDateTime>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <limits>
#include <cmath>

namespace kestrabo {

namespace {

constexpr double kBlinkPeriod = 5.8;
constexpr double kBlinkLength = 0.14;
constexpr double kMinimumInterval = 0.05;
// 2001-01-01T00:00:00Z in Unix seconds: the face's time origin.
constexpr double kReferenceDate = 978307200;

bool gazes(CompanionState state) { return state == CompanionState::connecting || state == CompanionState::looking; }

} // namespace

CompanionFace::CompanionFace(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_TranslucentBackground);
    setFixedSize(sizeHint());
    m_frame.setSingleShot(true);
    m_frame.setTimerType(Qt::PreciseTimer);
    connect(&m_frame, &QTimer::timeout, this, [this] {
        update();
        schedule();
    });
    setAccessibleName(QStringLiteral("Kestrabo, ") + label(m_state));
}

void CompanionFace::setState(CompanionState state)
{
    if (state == m_state)
        return;
    m_state = state;
    setAccessibleName(QStringLiteral("Kestrabo, ") + label(m_state));
    update();
    schedule();
}

void CompanionFace::setLevel(float level)
{
    if (level == m_level)
        return;
    m_level = level;
    if (m_state == CompanionState::listening)
        update();
}

void CompanionFace::setReduceMotion(bool reduceMotion)
{
    if (reduceMotion == m_reduceMotion)
        return;
    m_reduceMotion = reduceMotion;
    update();
    schedule();
}

double CompanionFace::now() { return double(QDateTime::currentMSecsSinceEpoch()) / 1000 - kReferenceDate; }

double CompanionFace::nextChange(CompanionState state, bool reduceMotion, double t)
{
    if (reduceMotion)
        return std::numeric_limits<double>::infinity();
    if (gazes(state) || state == CompanionState::speaking)
        return kMinimumInterval;
    // Otherwise only the blink moves: wake at its next edge.
    const double phase = std::fmod(t, kBlinkPeriod);
    const double edge = phase < kBlinkLength ? kBlinkLength : kBlinkPeriod;
    return std::max(kMinimumInterval, edge - phase);
}

void CompanionFace::paintFrame(QPainter& painter, QSizeF size, CompanionState state, float level, bool reduceMotion,
                               double t)
{
    const bool blink = !reduceMotion && std::fmod(t, kBlinkPeriod) < kBlinkLength;
    const double dx = gazes(state) && !reduceMotion ? 2 * std::sin(2 * t) : 0;
    const double scale = std::min(size.width() / 76, size.height() / 46);
    const QColor ink = state == CompanionState::failed ? QColor::fromRgbF(1.0f, 0.65f, 0.5f) : kLeaf;

    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(scale, scale);
    painter.setPen(Qt::NoPen);
    painter.setBrush(ink);
    for (const double x : {22.0, 48.0}) {
        const QRectF eye = blink ? QRectF(x + dx, 22, 10, 2) : QRectF(x + dx, 12, 10, 17);
        const double radius = std::min({5.0, eye.width() / 2, eye.height() / 2});
        painter.drawRoundedRect(eye, radius, radius);
    }
    if (state == CompanionState::speaking) {
        const double height = reduceMotion ? 5 : std::abs(std::sin(13 * t)) * 5 + 4;
        painter.drawEllipse(QRectF(33, 33, 11, height));
    } else {
        QPainterPath smile(QPointF(33, 34));
        smile.quadTo(QPointF(38, 39), QPointF(43, 34));
        QPen pen(ink, 2, Qt::SolidLine, Qt::RoundCap, Qt::MiterJoin);
        pen.setMiterLimit(10);
        painter.strokePath(smile, pen);
    }
    if (state == CompanionState::listening) {
        QColor bar = ink;
        bar.setAlphaF(0.7f);
        painter.setBrush(bar);
        const double heights[] = {level * 8.0 + 3, level * 13.0 + 3, level * 18.0 + 3};
        for (int i = 0; i < 3; ++i)
            painter.drawRoundedRect(QRectF(3 + 4 * i, 23 - heights[i] / 2, 2, heights[i]), 1, 1);
    }
    painter.restore();
}

void CompanionFace::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    paintFrame(painter, size(), m_state, m_level, m_reduceMotion, now());
}

void CompanionFace::showEvent(QShowEvent*) { schedule(); }

void CompanionFace::hideEvent(QHideEvent*) { m_frame.stop(); }

void CompanionFace::schedule()
{
    m_frame.stop();
    if (!isVisible())
        return;
    const double wait = nextChange(m_state, m_reduceMotion, now());
    if (std::isfinite(wait))
        m_frame.start(int(std::ceil(wait * 1000)));
}

} // namespace kestrabo
