#include "core/ApiBase.h"
#include "core/Job.h"
#include "core/Json.h"
#include "core/Text.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using namespace kestrabo;

TEST(Text, MeasuresAndChunksByScalarsWithoutSplittingOne)
{
    EXPECT_EQ(text::utf8Length(u"a\u00e9\u20ac\U0001F600"), 1 + 2 + 3 + 4);

    EXPECT_TRUE(text::chunkByScalars(u"", 480).isEmpty());
    const QString exact(480, QLatin1Char('a'));
    EXPECT_EQ(text::chunkByScalars(exact, 480), QStringList{exact});
    const QStringList over = text::chunkByScalars(exact + QLatin1Char('b'), 480);
    ASSERT_EQ(over.size(), 2);
    EXPECT_EQ(over[0], exact);
    EXPECT_EQ(over[1], QStringLiteral("b"));

    // A two-byte scalar that does not fit moves whole to the next piece; so does a surrogate pair.
    const QString almost(479, QLatin1Char('a'));
    EXPECT_EQ(text::chunkByScalars(almost + u"\u00e9"_qs, 480), (QStringList{almost, u"\u00e9"_qs}));
    const QStringList emoji = text::chunkByScalars(almost + u"\U0001F600"_qs, 480);
    ASSERT_EQ(emoji.size(), 2);
    EXPECT_EQ(emoji[1], u"\U0001F600"_qs);
    for (const QString& piece : text::chunkByScalars(QString(1000, QChar(0x20AC)), 480))
        EXPECT_LE(text::utf8Length(piece), 480);
}

TEST(Text, CountsAndCutsUserPerceivedCharacters)
{
    const QString family = u"\U0001F468\u200D\U0001F469\u200D\U0001F467"_qs; // one cluster, five scalars
    const QString accented = u"e\u0301"_qs;                                   // one cluster, two scalars
    const QString text = family + accented + QStringLiteral("xy");
    EXPECT_EQ(text::graphemeCount(text), 4);
    EXPECT_EQ(text::graphemePrefix(text, 1), family);
    EXPECT_EQ(text::graphemePrefix(text, 2), family + accented);
    EXPECT_EQ(text::graphemePrefix(text, 10), text);
    EXPECT_EQ(text::graphemePrefix(text, 0), QString());
}

TEST(Text, TrimsWhiteSpaceAndLineBreaksOnly)
{
    EXPECT_EQ(text::trimmed(u" \t\n\u00a0\u2028 key \r\n\u3000"_qs), QStringLiteral("key"));
    EXPECT_EQ(text::trimmed(QStringLiteral("  \n ")), QString());
    EXPECT_EQ(text::trimmed(QStringLiteral("a b")), QStringLiteral("a b"));
    EXPECT_FALSE(text::hasContent(u" \n\t\u2029"_qs));
    EXPECT_TRUE(text::hasContent(QStringLiteral(" x ")));
}

TEST(Text, DecodesOnlyValidBase64)
{
    EXPECT_EQ(text::decodeBase64(QStringLiteral("AAEC")), QByteArray("\x00\x01\x02", 3));
    EXPECT_EQ(text::decodeBase64(QString()), QByteArray());
    EXPECT_FALSE(text::decodeBase64(QStringLiteral("not base64!")).has_value());
    EXPECT_FALSE(text::decodeBase64(u"AA\u00e9C"_qs).has_value());
}

TEST(Json, KeepsBooleansApartFromNumbersAndParsesScalars)
{
    const QJsonObject object{{QStringLiteral("flag"), true}, {QStringLiteral("count"), 1},
                             {QStringLiteral("name"), QStringLiteral("x")}};
    EXPECT_EQ(json::boolean(object, u"flag"), true);
    EXPECT_FALSE(json::boolean(object, u"count").has_value());
    EXPECT_FALSE(json::number(object, u"flag").has_value());
    EXPECT_EQ(json::number(object, u"count"), 1.0);
    EXPECT_EQ(json::type(object), QString());
    EXPECT_EQ(json::string(object, u"name"), QStringLiteral("x"));

    EXPECT_TRUE(json::parse("{\"a\":1}")->isObject());
    EXPECT_TRUE(json::parse("[1,2]")->isArray());
    EXPECT_EQ(json::parse("42")->toDouble(), 42.0);
    EXPECT_TRUE(json::parse("\"s\"")->isString());
    EXPECT_FALSE(json::parse("{").has_value());
    EXPECT_FALSE(json::parse("1,2").has_value());
    EXPECT_FALSE(json::parse("").has_value());
    EXPECT_EQ(json::compact(QJsonObject{{QStringLiteral("store"), false}}), QByteArray("{\"store\":false}"));
}

TEST(ApiBase, DerivesTheVoiceAndResponsesEndpoints)
{
    const QUrl standard = api::baseFrom(QByteArray());
    EXPECT_EQ(standard.toString(), QStringLiteral("https://api.openai.com/v1"));
    EXPECT_EQ(api::liveEndpoint(standard).toString(), QStringLiteral("wss://api.openai.com/v1/live/sessions"));
    EXPECT_EQ(api::responsesEndpoint(standard).toString(), QStringLiteral("https://api.openai.com/v1/responses"));

    const QUrl local = api::baseFrom("http://127.0.0.1:8123/v1/");
    EXPECT_EQ(api::liveEndpoint(local).toString(), QStringLiteral("ws://127.0.0.1:8123/v1/live/sessions"));
    EXPECT_EQ(api::responsesEndpoint(local).toString(), QStringLiteral("http://127.0.0.1:8123/v1/responses"));

    QString problem;
    EXPECT_EQ(api::baseFrom("ftp://example.invalid/v1", &problem), standard);
    EXPECT_FALSE(problem.isEmpty());
}

TEST(Job, CancellationStopsPendingWorkAndRunsCleanups)
{
    Job job = Job::start();
    QObject context;
    int fired = 0;
    int cleaned = 0;
    job.onCancel([&] { ++cleaned; });
    job.after(5, &context, [&] { ++fired; });
    Job other = Job::start();
    other.after(5, &context, [&] { ++fired; });
    job.cancel();
    job.cancel();
    EXPECT_EQ(cleaned, 1);
    ASSERT_TRUE(test::waitUntil([&] { return fired == 1; }, 2'000));
    test::spin(30);
    EXPECT_EQ(fired, 1);

    // A job that was never started counts as cancelled; cleanups run at once.
    Job none;
    EXPECT_TRUE(none.isCancelled());
    bool ran = false;
    Job finished = Job::start();
    finished.cancel();
    finished.onCancel([&] { ran = true; });
    EXPECT_TRUE(ran);
}
