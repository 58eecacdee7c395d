#include "core/Text.h"

#include <QStringDecoder>
#include <QTextBoundaryFinder>

namespace kestrabo::text {

namespace {

qsizetype scalarUtf8Length(char32_t scalar)
{
    if (scalar < 0x80)
        return 1;
    if (scalar < 0x800)
        return 2;
    if (scalar < 0x10000)
        return 3;
    return 4;
}

// Walks UTF-16 one Unicode scalar at a time. A lone surrogate reads as U+FFFD, as
// QString::toUtf8 encodes it.
class ScalarIterator {
public:
    explicit ScalarIterator(QStringView text, qsizetype position = 0) : m_text(text), m_position(position) {}

    bool hasNext() const { return m_position < m_text.size(); }
    bool hasPrevious() const { return m_position > 0; }
    qsizetype index() const { return m_position; }

    char32_t next()
    {
        const QChar unit = m_text[m_position++];
        if (unit.isHighSurrogate() && m_position < m_text.size() && m_text[m_position].isLowSurrogate())
            return QChar::surrogateToUcs4(unit, m_text[m_position++]);
        return unit.isSurrogate() ? U'\uFFFD' : char32_t(unit.unicode());
    }

    char32_t previous()
    {
        const QChar unit = m_text[--m_position];
        if (unit.isLowSurrogate() && m_position > 0 && m_text[m_position - 1].isHighSurrogate())
            return QChar::surrogateToUcs4(m_text[--m_position], unit);
        return unit.isSurrogate() ? U'\uFFFD' : char32_t(unit.unicode());
    }

private:
    QStringView m_text;
    qsizetype m_position;
};

} // namespace

qsizetype utf8Length(QStringView text)
{
    qsizetype total = 0;
    ScalarIterator it(text);
    while (it.hasNext())
        total += scalarUtf8Length(it.next());
    return total;
}

QStringList chunkByScalars(QStringView text, qsizetype maxBytes)
{
    QStringList chunks;
    qsizetype chunkStart = 0;
    qsizetype chunkBytes = 0;
    ScalarIterator it(text);
    while (it.hasNext()) {
        const qsizetype position = it.index();
        const qsizetype length = scalarUtf8Length(it.next());
        if (chunkBytes + length > maxBytes && position > chunkStart) {
            chunks.append(text.mid(chunkStart, position - chunkStart).toString());
            chunkStart = position;
            chunkBytes = 0;
        }
        chunkBytes += length;
    }
    if (text.size() > chunkStart)
        chunks.append(text.mid(chunkStart).toString());
    return chunks;
}

qsizetype graphemeCount(const QString& text)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype count = 0;
    while (finder.toNextBoundary() > 0)
        ++count;
    return count;
}

QString graphemePrefix(const QString& text, qsizetype count)
{
    if (count <= 0)
        return QString();
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype seen = 0;
    qsizetype boundary = 0;
    while (seen < count) {
        boundary = finder.toNextBoundary();
        if (boundary < 0)
            return text;
        ++seen;
    }
    return text.left(boundary);
}

QString graphemeSuffix(const QString& text, qsizetype count)
{
    if (count <= 0)
        return QString();
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    finder.toEnd();
    qsizetype seen = 0;
    qsizetype boundary = text.size();
    while (seen < count) {
        const qsizetype previous = finder.toPreviousBoundary();
        if (previous < 0)
            return text;
        boundary = previous;
        ++seen;
    }
    return text.mid(boundary);
}

bool isWhitespaceOrNewline(char32_t scalar)
{
    switch (scalar) {
    case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20: case 0x85: case 0xA0:
    case 0x1680: case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
        return true;
    default:
        return scalar >= 0x2000 && scalar <= 0x200A;
    }
}

QString trimmed(const QString& text)
{
    ScalarIterator front(text);
    qsizetype start = text.size();
    while (front.hasNext()) {
        const qsizetype position = front.index();
        if (!isWhitespaceOrNewline(front.next())) {
            start = position;
            break;
        }
    }
    if (start == text.size())
        return QString();
    ScalarIterator back(text, text.size());
    qsizetype end = start;
    while (back.hasPrevious()) {
        const qsizetype after = back.index();
        if (!isWhitespaceOrNewline(back.previous())) {
            end = after;
            break;
        }
    }
    return text.mid(start, end - start);
}

bool hasContent(const QString& text)
{
    ScalarIterator it(text);
    while (it.hasNext()) {
        if (!isWhitespaceOrNewline(it.next()))
            return true;
    }
    return false;
}

std::optional<QByteArray> decodeBase64(const QString& text)
{
    for (const QChar c : text) {
        if (c.unicode() > 0x7F)
            return std::nullopt;
    }
    auto result = QByteArray::fromBase64Encoding(text.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!result)
        return std::nullopt;
    return std::move(result.decoded);
}

std::optional<QString> decodeUtf8(const QByteArray& bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8,
                           QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    QString decoded = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return decoded;
}

} // namespace kestrabo::text
