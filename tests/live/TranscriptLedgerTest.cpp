#include "live/Protocol.h"

#include <gtest/gtest.h>

using namespace kestrabo;

namespace {

QJsonObject delta(bool user, const QString& text, std::optional<double> start, std::optional<double> end,
                  std::optional<QString> id = std::nullopt)
{
    QJsonObject event{{QStringLiteral("type"), user ? QStringLiteral("session.input_transcript.delta")
                                                    : QStringLiteral("session.output_transcript.delta")},
                      {QStringLiteral("delta"), text}};
    if (start)
        event.insert(QStringLiteral("start_ms"), *start);
    if (end)
        event.insert(QStringLiteral("end_ms"), *end);
    if (id)
        event.insert(QStringLiteral("event_id"), *id);
    return event;
}

QJsonObject user(const QString& text, double start, double end) { return delta(true, text, start, end); }
QJsonObject assistant(const QString& text, double start, double end) { return delta(false, text, start, end); }

} // namespace

TEST(TranscriptLedger, StoresEachDeltaOnceAndRejectsMalformedOnes)
{
    TranscriptLedger ledger;
    EXPECT_TRUE(ledger.ingest(delta(true, QStringLiteral("Hi"), 0, 100, QStringLiteral("e1"))));
    const auto captions = ledger.captions();
    EXPECT_FALSE(ledger.ingest(delta(true, QStringLiteral("Hi again"), 200, 300, QStringLiteral("e1"))));
    EXPECT_EQ(ledger.captions(), captions);

    // Without an id: type, times and text decide.
    EXPECT_TRUE(ledger.ingest(user(QStringLiteral(" there"), 100, 200)));
    EXPECT_FALSE(ledger.ingest(user(QStringLiteral(" there"), 100, 200)));
    EXPECT_TRUE(ledger.ingest(user(QStringLiteral(" there"), 150, 200)));
    EXPECT_TRUE(ledger.ingest(assistant(QStringLiteral(" there"), 100, 200)));

    EXPECT_FALSE(ledger.ingest(user(QStringLiteral("backwards"), 500, 400)));
    EXPECT_FALSE(ledger.ingest(user(QString(), 0, 1)));
    EXPECT_FALSE(ledger.ingest(QJsonObject{{QStringLiteral("type"), QStringLiteral("session.usage.updated")},
                                           {QStringLiteral("delta"), QStringLiteral("x")}}));
    EXPECT_FALSE(ledger.ingest(QJsonObject{{QStringLiteral("type"), QStringLiteral("session.input_transcript.delta")},
                                           {QStringLiteral("delta"), 3}}));

    TranscriptLedger times;
    ASSERT_TRUE(times.ingest(delta(true, QStringLiteral("a"), 700, std::nullopt)));
    ASSERT_TRUE(times.ingest(delta(true, QStringLiteral("b"), std::nullopt, std::nullopt)));
    EXPECT_EQ(times.fragments()[0].end, 700);
    EXPECT_EQ(times.fragments()[1].start, 0);
    EXPECT_EQ(times.fragments()[1].end, 0);
    EXPECT_EQ(times.fragments()[0].id, QStringLiteral("session.input_transcript.delta|700.0|700.0|a"));
    EXPECT_EQ(times.fragments()[0].speaker, QStringLiteral("You"));
}

TEST(TranscriptLedger, WritesKeyNumbersAsShortestRoundTripDecimals)
{
    EXPECT_EQ(TranscriptLedger::decimal(1500), QStringLiteral("1500.0"));
    EXPECT_EQ(TranscriptLedger::decimal(0), QStringLiteral("0.0"));
    EXPECT_EQ(TranscriptLedger::decimal(0.1), QStringLiteral("0.1"));
    EXPECT_EQ(TranscriptLedger::decimal(1234.5678), QStringLiteral("1234.5678"));
    EXPECT_EQ(TranscriptLedger::decimal(1'000'000), QStringLiteral("1000000.0"));
    EXPECT_EQ(TranscriptLedger::decimal(1e16), QStringLiteral("1e+16"));
    EXPECT_EQ(TranscriptLedger::decimal(1.5e-5), QStringLiteral("1.5e-05"));
}

TEST(TranscriptLedger, OrdersByStartAndMergesSpeakersIntoTheLastSixCaptions)
{
    TranscriptLedger ledger;
    ledger.ingest(user(QStringLiteral(" world"), 300, 400));
    ledger.ingest(user(QStringLiteral("Hello"), 0, 200));
    ledger.ingest(assistant(QStringLiteral("Hi"), 500, 600));
    ledger.ingest(assistant(QStringLiteral(" you"), 500, 650)); // same start: arrival order
    ledger.ingest(user(QStringLiteral("Bye"), 900, 950));
    EXPECT_EQ(ledger.captions(), (QList<Caption>{{QStringLiteral("You"), QStringLiteral("Hello world")},
                                                 {QStringLiteral("Kestrabo"), QStringLiteral("Hi you")},
                                                 {QStringLiteral("You"), QStringLiteral("Bye")}}));

    TranscriptLedger turns;
    for (int i = 0; i < 7; ++i)
        turns.ingest(delta(i % 2 == 0, QString::number(i), i * 1000.0, i * 1000.0 + 500));
    const auto captions = turns.captions();
    ASSERT_EQ(captions.size(), 6);
    EXPECT_EQ(captions.first().text, QStringLiteral("1"));
    EXPECT_EQ(captions.last().text, QStringLiteral("6"));
}

TEST(TranscriptLedger, RetentionDropsTheOldestAndForgetsItsId)
{
    TranscriptLedger ledger(1200);
    for (int i = 0; i < 1201; ++i)
        ASSERT_TRUE(ledger.ingest(delta(true, QStringLiteral("w"), i, i, QStringLiteral("id%1").arg(i))));
    EXPECT_EQ(ledger.fragments().size(), 1200);
    EXPECT_EQ(ledger.fragments().first().id, QStringLiteral("id1"));
    EXPECT_TRUE(ledger.ingest(delta(true, QStringLiteral("w"), 0, 0, QStringLiteral("id0"))));
    EXPECT_FALSE(ledger.ingest(delta(true, QStringLiteral("w"), 5, 5, QStringLiteral("id5"))));

    // Out of order: the first to arrive goes, wherever it sits on the timeline.
    TranscriptLedger small(3);
    for (const auto& [id, start] : std::initializer_list<std::pair<const char*, double>>{
             {"late", 900}, {"early", 100}, {"middle", 500}, {"earliest", 0}})
        ASSERT_TRUE(small.ingest(delta(true, QString::fromLatin1(id), start, start + 50, QString::fromLatin1(id))));
    QStringList ordered;
    for (const TranscriptFragment& fragment : small.ordered())
        ordered.append(fragment.id);
    EXPECT_EQ(ordered, (QStringList{QStringLiteral("earliest"), QStringLiteral("early"), QStringLiteral("middle")}));
    EXPECT_EQ(small.captions(), (QList<Caption>{{QStringLiteral("You"), QStringLiteral("earliestearlymiddle")}}));
    EXPECT_TRUE(small.ingest(delta(true, QStringLiteral("late"), 900, 950, QStringLiteral("late"))));
    EXPECT_FALSE(small.ingest(delta(true, QStringLiteral("middle"), 500, 550, QStringLiteral("middle"))));
}

TEST(TranscriptLedger, LatestUserTextIsTheLastRunOfSpeech)
{
    TranscriptLedger gap;
    gap.ingest(user(QStringLiteral("first"), 0, 800));
    gap.ingest(user(QStringLiteral(" second "), 2400, 3000)); // 1,600 ms pause
    EXPECT_EQ(gap.latestUserText(), QStringLiteral("second"));

    TranscriptLedger joined;
    joined.ingest(user(QStringLiteral("first"), 0, 800));
    joined.ingest(user(QStringLiteral(" second"), 2300, 3000)); // exactly 1,500 ms
    EXPECT_EQ(joined.latestUserText(), QStringLiteral("first second"));

    TranscriptLedger answered;
    answered.ingest(user(QStringLiteral("What is this?"), 0, 800));
    answered.ingest(assistant(QStringLiteral("It is a button."), 900, 1500));
    EXPECT_EQ(answered.latestUserText(), QStringLiteral("What is this?"));
    answered.ingest(user(QStringLiteral("And that?"), 1600, 2000));
    EXPECT_EQ(answered.latestUserText(), QStringLiteral("And that?"));

    TranscriptLedger silent;
    silent.ingest(assistant(QStringLiteral("Hello"), 0, 10));
    EXPECT_EQ(silent.latestUserText(), QString());
}

TEST(TranscriptLedger, ContextRendersLinesUpToATime)
{
    TranscriptLedger ledger;
    EXPECT_EQ(ledger.context(), QString());
    ledger.ingest(user(QStringLiteral("Hi"), 100, 200));
    ledger.ingest(assistant(QStringLiteral("Hello"), 300, 400));
    ledger.ingest(user(QStringLiteral("Later"), 900, 1000));
    EXPECT_EQ(ledger.context(), QStringLiteral("You: Hi\nKestrabo: Hello\nYou: Later"));
    EXPECT_EQ(ledger.context(300), QStringLiteral("You: Hi\nKestrabo: Hello"));
    EXPECT_EQ(ledger.context(50), QString());

    TranscriptLedger many;
    for (int i = 0; i < 150; ++i)
        many.ingest(user(QString::number(i), i * 10.0, i * 10.0));
    const QStringList lines = many.context().split(QLatin1Char('\n'));
    EXPECT_EQ(lines.size(), 100);
    EXPECT_EQ(lines.first(), QStringLiteral("You: 50"));
}

TEST(WorkerQuestionEnvelope, NeedsTextInItsFourTextFields)
{
    WorkerQuestionEnvelope envelope{QUuid::createUuid(), QStringLiteral("Task"), QStringLiteral("1"),
                                    QStringLiteral("q"), QStringLiteral("Which?"), {}};
    EXPECT_TRUE(envelope.isValid());
    WorkerQuestionEnvelope copy = envelope;
    EXPECT_EQ(copy, envelope);
    copy.options = {QStringLiteral("a")};
    EXPECT_NE(copy, envelope);
    copy = envelope;
    copy.prompt = QStringLiteral(" \n\t ");
    EXPECT_FALSE(copy.isValid());
    copy = envelope;
    copy.requestID = QString();
    EXPECT_FALSE(copy.isValid());
}
