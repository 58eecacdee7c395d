#include "input/WakePhrase.h"

#include <QStringList>

namespace kestrabo::WakePhrase {

bool matches(const QString& text)
{
    QStringList words;
    QString word;
    for (char32_t code : text.toLower().toUcs4()) {
        if (QChar::isLetter(code)) {
            word += QString::fromUcs4(&code, 1);
        } else if (!word.isEmpty()) {
            words.append(word);
            word.clear();
        }
    }
    if (!word.isEmpty())
        words.append(word);
    for (qsizetype i = 0; i + 1 < words.size(); ++i) {
        if (words[i] == u"hey" && (words[i + 1] == u"kestrabo" || words[i + 1] == QStringView(alternateWord)))
            return true;
    }
    return false;
}

} // namespace kestrabo::WakePhrase
