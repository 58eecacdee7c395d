// The PocketSphinx recogniser on a private sound server, hearing synthetic speech through a
// virtual microphone.
#include "e2e/Conversation.h"
#include "input/WakeWordListener.h"
#include "platform/linux/PocketSphinxRecognizer.h"
#include "support/VirtualMicrophone.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

using namespace kestrabo;
using test::waitUntil;

TEST(PocketSphinxRecognizer, NeedsTheModelAndARealMicrophone)
{
    EXPECT_FALSE(PocketSphinxRecognizer(QStringLiteral("/nonexistent/en-us")).supportsOnDeviceRecognition());
    EXPECT_EQ(pocketSphinxRecognizerFactory()(QStringLiteral("fr-FR")), nullptr);
    const auto recognizer = pocketSphinxRecognizerFactory()(QStringLiteral("en-US"));
    ASSERT_TRUE(recognizer->supportsOnDeviceRecognition()) << "the en-us model is not installed";
    EXPECT_FALSE(recognizer->start({QStringLiteral("Hey zorbulax")}, nullptr)); // no pronunciation

    // The default source is a sink's monitor, the desktop's own sound: not a microphone.
    test::VirtualMicrophone microphone;
    ASSERT_EQ(microphone.start(false), QString());
    EXPECT_FALSE(recognizer->start({QStringLiteral("Hey kestrabo")}, nullptr));
}

// The keyphrase search alone fires on some ordinary speech; the second pass turns those hits
// down and still lets the phrase through, slow speech included (the search can fire before the
// name's last vowel).
TEST(KeyphraseSpotter, TheSecondPassTurnsDownWhatTheSearchConfuses)
{
    struct Case {
        const char* text;
        const char* voice;
        bool wakes;
        int speed = 175;
        int pitch = 50;
        // A search loose enough to be confused by the first two.
        double threshold = 1e-1;
    };
    const Case cases[] = {
        {"Kesha and Estrada played a set at the festival.", "en-us", false},
        {"Hey, kiss the bride!", "en-us+f3", false},
        {"Hey kestrabo, what time is it?", "en-us", true},
        {"Hey kestrabo, what time is it?", "en-gb", true},
        {"Hey kestrabo", "en-us", true},
        {"Hey kestrabo", "en-gb", true},
        {"Hey kestrabo, what time is it?", "en-us", true, 145, 45, KeyphraseSpotter::defaultThreshold},
        {"Hey kestrabo, what time is it?", "en-us+f3", true, 120, 65, KeyphraseSpotter::defaultThreshold},
    };
    for (const Case& c : cases) {
        std::vector<int16_t> audio(KeyphraseSpotter::sampleRate / 2);
        const std::vector<int16_t> speech = test::synthesize(QLatin1String(c.text), QLatin1String(c.voice), c.speed, c.pitch);
        ASSERT_FALSE(speech.empty()) << "espeak-ng is missing";
        audio.insert(audio.end(), speech.begin(), speech.end());
        audio.resize(audio.size() + KeyphraseSpotter::sampleRate);
        // Capture streams deliver pieces of 5 to 50 ms and more: the verdict must not depend on it.
        for (const size_t piece : {size_t(80), size_t(800), size_t(1600)}) {
            const auto spotter = KeyphraseSpotter::create({.acousticModel = PocketSphinxRecognizer::installedModel(),
                                                           .keyphrase = QStringLiteral("hey kestrabo"),
                                                           .threshold = c.threshold});
            ASSERT_NE(spotter, nullptr) << "the en-us model is not installed";
            int candidates = 0, wakes = 0;
            for (size_t at = 0; at < audio.size(); at += piece) {
                wakes += spotter->feed(audio.data() + at, int(std::min(piece, audio.size() - at))).has_value();
                candidates += spotter->lastCandidate().has_value();
            }
            EXPECT_EQ(wakes, c.wakes ? 1 : 0) << c.text << " in " << c.voice << " at " << c.speed << ", pieces of " << piece;
            EXPECT_GE(candidates, 1) << c.text << " in " << c.voice << ": the search no longer hears the phrase in it";
        }
    }
}

TEST(PocketSphinxRecognizer, ThePhraseStartsAConversationThatBeginsWithTheGreeting)
{
    test::VirtualMicrophone microphone;
    ASSERT_EQ(microphone.start(), QString());
    test::Conversation c({});
    ASSERT_NE(c.voice.start(), 0);
    c.access.speech = SpeechAuthorization::authorized;
    c.platform.speechRecognizer = pocketSphinxRecognizerFactory();
    AppModel& model = c.make({.enableShortcuts = true, .loadCredentials = true});
    model.live().setEndpoint(c.voice.endpoint());
    model.setApiKey(QStringLiteral("sk-wake"));
    ASSERT_TRUE(model.wakeListener().isListening());

    // Confusable speech first: the wake must come from the phrase after it.
    QElapsedTimer clock;
    clock.start();
    const std::vector<int> ends = microphone.say(
        {QStringLiteral("Hey there, the kestrel flew over Castro street."), QStringLiteral("Hey kestrabo, are you there?")});
    ASSERT_EQ(ends.size(), 2u) << "espeak-ng is missing";
    ASSERT_TRUE(waitUntil([&] { return model.active(); }, ends[1] + 3'000));
    EXPECT_GT(clock.elapsed(), ends[0]);
    EXPECT_FALSE(model.wakeListener().isListening());
    ASSERT_TRUE(waitUntil([&] { return c.contextCount(QStringLiteral("session.commentary.append")) > 0; }, 10'000));
    EXPECT_EQ(c.voice.received(QStringLiteral("session.commentary.append")).first().value(QStringLiteral("content")),
              QStringLiteral("The user just woke you by saying Hey, kestrabo. Respond now with a brief acknowledgment: "
                             "Hey! I'm here. Then listen for their request."));
}
