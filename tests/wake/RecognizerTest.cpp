// The PocketSphinx recogniser on a private sound server, hearing synthetic speech through a
// virtual microphone.
#include "e2e/Conversation.h"
#include "input/WakeWordListener.h"
#include "platform/StaticSystemAccess.h"
#include "platform/linux/PocketSphinxRecognizer.h"
#include "support/VirtualMicrophone.h"
#include "support/TestSupport.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

using namespace kestrabo;
using test::waitUntil;

namespace {

using Microphone = test::VirtualMicrophone;

struct RealListener {
    StaticSystemAccess access;
    WakeWordListener listener{&access, pocketSphinxRecognizerFactory()};
    int wakes = 0;
    QStringList statuses;

    RealListener()
    {
        access.speech = SpeechAuthorization::authorized;
        listener.onWake = [this] { ++wakes; };
        listener.onStatus = [this](const QString& text) { statuses.append(text); };
        listener.wanted = true;
        listener.beginRecognition();
    }
};

} // namespace

TEST(PocketSphinxRecognizer, NeedsTheModelAndARealMicrophone)
{
    EXPECT_FALSE(PocketSphinxRecognizer(QStringLiteral("/nonexistent/en-us")).supportsOnDeviceRecognition());
    EXPECT_EQ(pocketSphinxRecognizerFactory()(QStringLiteral("fr-FR")), nullptr);
    const auto recognizer = pocketSphinxRecognizerFactory()(QStringLiteral("en-US"));
    ASSERT_NE(recognizer, nullptr);
    ASSERT_TRUE(recognizer->supportsOnDeviceRecognition()) << "the en-us model is not installed";
    // A name without a pronunciation cannot be spotted.
    EXPECT_FALSE(recognizer->start({QStringLiteral("Hey zorbulax")}, nullptr));

    Microphone microphone;
    ASSERT_EQ(microphone.start(false), QString());
    // The default source is the monitor of a sink: the desktop's own sound, not a microphone.
    EXPECT_FALSE(recognizer->start({QStringLiteral("Hey kestrabo")}, nullptr));
    RealListener real;
    EXPECT_TRUE(real.listener.wanted);
    EXPECT_FALSE(real.listener.isListening());
    EXPECT_EQ(real.statuses.value(0),
              QStringLiteral("Wake listening is unavailable. Retrying; you can use Start talking."));
}

TEST(PocketSphinxRecognizer, ThePhraseWakesTheListenerAndOtherSpeechDoesNot)
{
    Microphone microphone;
    ASSERT_EQ(microphone.start(), QString());
    RealListener real;
    ASSERT_TRUE(real.listener.isListening());
    EXPECT_EQ(real.statuses, QStringList{QStringLiteral("Listening for Hey, kestrabo on this computer.")});

    // Confusable speech first: the wake must come after it, from the phrase.
    QElapsedTimer clock;
    clock.start();
    const std::vector<int> ends = microphone.say(
        {QStringLiteral("Hey there, the kestrel flew over Castro street."), QStringLiteral("Hey kestrabo, are you there?")});
    ASSERT_EQ(ends.size(), 2u) << "espeak-ng is missing";
    ASSERT_TRUE(waitUntil([&] { return real.wakes == 1; }, ends[1] + 3'000));
    EXPECT_GT(clock.elapsed(), ends[0]);
    test::spin(300);
    EXPECT_EQ(real.wakes, 1);
    EXPECT_FALSE(real.listener.wanted);
    EXPECT_FALSE(real.listener.isListening());
}

TEST(PocketSphinxRecognizer, WakingStartsAConversationThatBeginsWithTheGreeting)
{
    Microphone microphone;
    ASSERT_EQ(microphone.start(), QString());
    test::Conversation c({});
    ASSERT_NE(c.voice.start(), 0);
    c.access.speech = SpeechAuthorization::authorized;
    c.platform.speechRecognizer = pocketSphinxRecognizerFactory();
    AppModel& model = c.make({.enableShortcuts = true, .loadCredentials = true});
    model.live().setEndpoint(c.voice.endpoint());
    model.setApiKey(QStringLiteral("sk-wake"));
    ASSERT_TRUE(model.wakeListener().isListening());

    ASSERT_FALSE(microphone.say({QStringLiteral("Hey kestrabo")}).empty());
    ASSERT_TRUE(waitUntil([&] { return model.state() == CompanionState::listening; }, 10'000));
    EXPECT_FALSE(model.wakeListener().isListening()); // the conversation has the microphone
    ASSERT_TRUE(waitUntil([&] { return c.contextCount(QStringLiteral("session.commentary.append")) > 0; }));
    EXPECT_EQ(c.voice.received(QStringLiteral("session.commentary.append")).first().value(QStringLiteral("content")),
              QStringLiteral("The user just woke you by saying Hey, kestrabo. Respond now with a brief acknowledgment: "
                             "Hey! I'm here. Then listen for their request."));
}
