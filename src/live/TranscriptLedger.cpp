#include "core/Json.h"
#include "core/Text.h"
#include "live/Protocol.h"

#include <algorithm>
#include <cmath>

namespace kestrabo {

namespace {

constexpr qsizetype kCaptionLines = 6;
constexpr qsizetype kContextLines = 100;
constexpr double kUtterancePauseMs = 1500;

} // namespace

QString TranscriptLedger::decimal(double value)
{
    if (!std::isfinite(value))
        return QString::number(value);
    if (value == 0)
        return std::signbit(value) ? QStringLiteral("-0.0") : QStringLiteral("0.0");
    // Exponent notation outside [1e-4, 1e16), as the usual shortest round-trip printers do.
    const int exponent = int(std::floor(std::log10(std::fabs(value))));
    if (exponent < -4 || exponent >= 16) {
        QString text = QString::number(value, 'e', QLocale::FloatingPointShortest);
        return text; // e.g. 1e+16, 1.5e-05
    }
    QString text = QString::number(value, 'f', QLocale::FloatingPointShortest);
    if (!text.contains(QLatin1Char('.')))
        text += QStringLiteral(".0");
    return text;
}

QString TranscriptLedger::synthesisedKey(const QString& type, double start, double end, const QString& delta)
{
    return QStringList{type, decimal(start), decimal(end), delta}.join(QLatin1Char('|'));
}

bool TranscriptLedger::ingest(const QJsonObject& event)
{
    const QString type = json::type(event);
    if (type != QLatin1String(LiveProtocol::inputTranscriptDelta)
        && type != QLatin1String(LiveProtocol::outputTranscriptDelta))
        return false;
    const std::optional<QString> delta = json::string(event, u"delta");
    if (!delta || delta->isEmpty())
        return false;
    const double start = json::number(event, u"start_ms").value_or(0);
    const double end = json::number(event, u"end_ms").value_or(start);
    if (!std::isfinite(start) || !std::isfinite(end) || start > end)
        return false;
    const QString id = json::string(event, u"event_id").value_or(synthesisedKey(type, start, end, *delta));
    if (m_seen.contains(id))
        return false;
    m_seen.insert(id);
    const QString speaker = type.contains(QStringLiteral("input_")) ? kUserSpeaker : kAssistantSpeaker;
    const TranscriptFragment fragment{id, speaker, *delta, start, end};
    m_fragments.append(fragment);
    // After every fragment with the same start: ties keep their arrival order.
    const auto position = std::upper_bound(m_ordered.begin(), m_ordered.end(), start,
                                           [](double value, const TranscriptFragment& f) { return value < f.start; });
    m_ordered.insert(position, fragment);
    if (m_fragments.size() > m_retention) {
        const qsizetype dropped = m_fragments.size() - m_retention;
        for (qsizetype i = 0; i < dropped; ++i) {
            const QString& droppedID = m_fragments[i].id;
            m_ordered.removeIf([&](const TranscriptFragment& f) { return f.id == droppedID; });
        }
        m_fragments.remove(0, dropped);
        m_seen.clear();
        for (const TranscriptFragment& kept : std::as_const(m_fragments))
            m_seen.insert(kept.id);
    }
    return true;
}

QList<Caption> TranscriptLedger::captions() const
{
    // Built from the end: only the last lines are wanted.
    QList<Caption> lines;
    QList<QStringList> pieces;
    for (auto it = m_ordered.crbegin(); it != m_ordered.crend(); ++it) {
        if (lines.isEmpty() || lines.last().speaker != it->speaker) {
            if (lines.size() == kCaptionLines)
                break;
            lines.append(Caption{it->speaker, QString()});
            pieces.append(QStringList());
        }
        pieces.last().append(it->text);
    }
    QList<Caption> result;
    for (qsizetype i = lines.size() - 1; i >= 0; --i) {
        QString text;
        for (auto piece = pieces[i].crbegin(); piece != pieces[i].crend(); ++piece)
            text += *piece;
        result.append(Caption{lines[i].speaker, text});
    }
    return result;
}

QString TranscriptLedger::latestUserText() const
{
    QString text;
    bool seenUser = false;
    bool afterBreak = false;
    double latestEnd = 0;
    for (const TranscriptFragment& fragment : ordered()) {
        if (fragment.speaker != kUserSpeaker) {
            afterBreak = true;
            continue;
        }
        if (afterBreak || (seenUser && fragment.start - latestEnd > kUtterancePauseMs))
            text.clear();
        afterBreak = false;
        text += fragment.text;
        latestEnd = seenUser ? std::max(latestEnd, fragment.end) : fragment.end;
        seenUser = true;
    }
    return text::trimmed(text);
}

QString TranscriptLedger::context(std::optional<double> through) const
{
    QStringList lines;
    for (const TranscriptFragment& fragment : ordered()) {
        if (through && fragment.start > *through)
            continue;
        lines.append(fragment.speaker + QStringLiteral(": ") + fragment.text);
    }
    if (lines.size() > kContextLines)
        lines.remove(0, lines.size() - kContextLines);
    return lines.join(QLatin1Char('\n'));
}

} // namespace kestrabo
