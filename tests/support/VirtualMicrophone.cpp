#include "support/VirtualMicrophone.h"

#include "support/Speech.h"

namespace kestrabo::test {

QString VirtualMicrophone::start(bool virtualSource)
{
    if (QString error = daemon.start(); !error.isEmpty())
        return error;
    if (!virtualSource)
        return {};
    const bool ready =
        daemon.run(QStringLiteral("pactl"), {QStringLiteral("load-module"), QStringLiteral("module-remap-source"),
                                             QStringLiteral("master=micsink.monitor"), QStringLiteral("source_name=wakemic")})
        && daemon.run(QStringLiteral("pactl"), {QStringLiteral("set-default-source"), QStringLiteral("wakemic")});
    return ready ? QString() : QStringLiteral("the virtual microphone did not load");
}

std::vector<int> VirtualMicrophone::say(const QStringList& texts, const QString& voice)
{
    std::vector<int16_t> samples;
    std::vector<int> ends;
    for (const QString& text : texts) {
        const std::vector<int16_t> speech = synthesize(text, voice);
        if (speech.empty())
            return {};
        samples.insert(samples.end(), 4000, 0);
        samples.insert(samples.end(), speech.begin(), speech.end());
        samples.insert(samples.end(), 4000, 0);
        ends.push_back(int(samples.size() / 16));
    }
    daemon.feedMicrophone(pcmBytes(samples));
    return ends;
}

} // namespace kestrabo::test
