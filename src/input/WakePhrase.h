#pragma once

#include <QString>

namespace kestrabo::WakePhrase {

// The ordinary word recognisers tend to write in place of "kestrabo".
inline constexpr char16_t alternateWord[] = u"throttle";

// True when the text holds "hey" immediately followed by "kestrabo" (or the alternate word),
// as whole words: runs of letters, case ignored.
bool matches(const QString& text);

} // namespace kestrabo::WakePhrase
