#include "live/Protocol.h"

#include <gtest/gtest.h>

using namespace kestrabo;
using namespace Qt::StringLiterals;

namespace {

QJsonObject delta(bool user, const QString& text, std::optional<double> start, std::optional<double> end,
                  std::optional<QString> id = std::nullopt)
{
    QJsonObject event{{u"type"_s, user ? u"session.input_transcript.delta"_s : u"session.output_transcript.delta"_s},
                      {u"delta"_s, text}};
    if (start)
        event.insert(u"start_ms"_s, *start);
    if (end)
        event.insert(u"end_ms"_s, *end);
    if (id)
        event.insert(u"event_id"_s, *id);
    return event;
}

QJsonObject user(const QString& text, double start, double end) { return delta(true, text, start, end); }
QJsonObject assistant(const QString& text, double start, double end) { return delta(false, text, start, end); }

} // namespace

TEST(TranscriptLedger, StoresEachDeltaOnceAndRejectsMalformedOnes)
{
    TranscriptLedger ledger;
    EXPECT_TRUE(ledger.ingest(delta(true, u"Hi"_s, 0, 100, u"e1"_s)));
    const auto captions = ledger.captions();
    EXPECT_FALSE(ledger.ingest(delta(true, u"Hi again"_s, 200, 300, u"e1"_s)));
    EXPECT_EQ(ledger.captions(), captions);

    // Without an id: type, times and text decide.
    EXPECT_TRUE(ledger.ingest(user(u" there"_s, 100, 200)));
    EXPECT_FALSE(ledger.ingest(user(u" there"_s, 100, 200)));
    EXPECT_TRUE(ledger.ingest(user(u" there"_s, 150, 200)));
    EXPECT_TRUE(ledger.ingest(assistant(u" there"_s, 100, 200)));

    EXPECT_FALSE(ledger.ingest(user(u"backwards"_s, 500, 400)));
    EXPECT_FALSE(ledger.ingest(user(QString(), 0, 1)));
    EXPECT_FALSE(ledger.ingest(QJsonObject{{u"type"_s, u"session.usage.updated"_s}, {u"delta"_s, u"x"_s}}));
    EXPECT_FALSE(ledger.ingest(QJsonObject{{u"type"_s, u"session.input_transcript.delta"_s}, {u"delta"_s, 3}}));

    TranscriptLedger times;
    ASSERT_TRUE(times.ingest(delta(true, u"a"_s, 700, std::nullopt)));
    ASSERT_TRUE(times.ingest(delta(true, u"b"_s, std::nullopt, std::nullopt)));
    EXPECT_EQ(times.fragments()[0].end, 700);
    EXPECT_EQ(times.fragments()[1].start, 0);
    EXPECT_EQ(times.fragments()[1].end, 0);
    EXPECT_EQ(times.fragments()[0].id, u"session.input_transcript.delta|700.0|700.0|a"_s);
    EXPECT_EQ(times.fragments()[0].speaker, u"You"_s);
}

TEST(TranscriptLedger, WritesKeyNumbersAsShortestRoundTripDecimals)
{
    for (const auto& [value, text] : {std::pair{1500.0, "1500.0"}, {0.0, "0.0"}, {0.1, "0.1"}, {1234.5678, "1234.5678"},
                                      {1e6, "1000000.0"}, {1e16, "1e+16"}, {1.5e-5, "1.5e-05"}})
        EXPECT_EQ(TranscriptLedger::decimal(value), QLatin1String(text)) << value;
}

TEST(TranscriptLedger, OrdersByStartAndMergesSpeakersIntoTheLastSixCaptions)
{
    TranscriptLedger ledger;
    ledger.ingest(user(u" world"_s, 300, 400));
    ledger.ingest(user(u"Hello"_s, 0, 200));
    ledger.ingest(assistant(u"Hi"_s, 500, 600));
    ledger.ingest(assistant(u" you"_s, 500, 650)); // same start: arrival order
    ledger.ingest(user(u"Bye"_s, 900, 950));
    EXPECT_EQ(ledger.captions(),
              (QList<Caption>{{u"You"_s, u"Hello world"_s}, {u"Kestrabo"_s, u"Hi you"_s}, {u"You"_s, u"Bye"_s}}));

    TranscriptLedger turns;
    for (int i = 0; i < 7; ++i)
        turns.ingest(delta(i % 2 == 0, QString::number(i), i * 1000.0, i * 1000.0 + 500));
    const auto captions = turns.captions();
    ASSERT_EQ(captions.size(), 6);
    EXPECT_EQ(captions.first().text, u"1"_s);
    EXPECT_EQ(captions.last().text, u"6"_s);
}

TEST(TranscriptLedger, RetentionDropsTheOldestAndForgetsItsId)
{
    TranscriptLedger ledger(1200);
    for (int i = 0; i < 1201; ++i)
        ASSERT_TRUE(ledger.ingest(delta(true, u"w"_s, i, i, u"id%1"_s.arg(i))));
    EXPECT_EQ(ledger.fragments().size(), 1200);
    EXPECT_EQ(ledger.fragments().first().id, u"id1"_s);
    EXPECT_TRUE(ledger.ingest(delta(true, u"w"_s, 0, 0, u"id0"_s)));
    EXPECT_FALSE(ledger.ingest(delta(true, u"w"_s, 5, 5, u"id5"_s)));

    // Out of order: the first to arrive goes, wherever it sits on the timeline.
    TranscriptLedger small(3);
    for (const auto& [id, start] : std::initializer_list<std::pair<const char*, double>>{
             {"late", 900}, {"early", 100}, {"middle", 500}, {"earliest", 0}})
        ASSERT_TRUE(small.ingest(delta(true, QString::fromLatin1(id), start, start + 50, QString::fromLatin1(id))));
    QStringList ordered;
    for (const TranscriptFragment& fragment : small.ordered())
        ordered.append(fragment.id);
    EXPECT_EQ(ordered, (QStringList{u"earliest"_s, u"early"_s, u"middle"_s}));
    EXPECT_EQ(small.captions(), (QList<Caption>{{u"You"_s, u"earliestearlymiddle"_s}}));
    EXPECT_TRUE(small.ingest(delta(true, u"late"_s, 900, 950, u"late"_s)));
    EXPECT_FALSE(small.ingest(delta(true, u"middle"_s, 500, 550, u"middle"_s)));
}

TEST(TranscriptLedger, LatestUserTextIsTheLastRunOfSpeech)
{
    TranscriptLedger gap;
    gap.ingest(user(u"first"_s, 0, 800));
    gap.ingest(user(u" second "_s, 2400, 3000)); // 1,600 ms pause
    EXPECT_EQ(gap.latestUserText(), u"second"_s);

    TranscriptLedger joined;
    joined.ingest(user(u"first"_s, 0, 800));
    joined.ingest(user(u" second"_s, 2300, 3000)); // exactly 1,500 ms
    EXPECT_EQ(joined.latestUserText(), u"first second"_s);

    TranscriptLedger answered;
    answered.ingest(user(u"What is this?"_s, 0, 800));
    answered.ingest(assistant(u"It is a button."_s, 900, 1500));
    EXPECT_EQ(answered.latestUserText(), u"What is this?"_s);
    answered.ingest(user(u"And that?"_s, 1600, 2000));
    EXPECT_EQ(answered.latestUserText(), u"And that?"_s);

    TranscriptLedger silent;
    silent.ingest(assistant(u"Hello"_s, 0, 10));
    EXPECT_EQ(silent.latestUserText(), QString());
}

TEST(TranscriptLedger, ContextRendersLinesUpToATime)
{
    TranscriptLedger ledger;
    EXPECT_EQ(ledger.context(), QString());
    ledger.ingest(user(u"Hi"_s, 100, 200));
    ledger.ingest(assistant(u"Hello"_s, 300, 400));
    ledger.ingest(user(u"Later"_s, 900, 1000));
    EXPECT_EQ(ledger.context(), u"You: Hi\nKestrabo: Hello\nYou: Later"_s);
    EXPECT_EQ(ledger.context(300), u"You: Hi\nKestrabo: Hello"_s);
    EXPECT_EQ(ledger.context(50), QString());

    TranscriptLedger many;
    for (int i = 0; i < 150; ++i)
        many.ingest(user(QString::number(i), i * 10.0, i * 10.0));
    const QStringList lines = many.context().split(QLatin1Char('\n'));
    EXPECT_EQ(lines.size(), 100);
    EXPECT_EQ(lines.first(), u"You: 50"_s);
}

TEST(WorkerQuestionEnvelope, NeedsTextInItsFourTextFields)
{
    WorkerQuestionEnvelope envelope{QUuid::createUuid(), u"Task"_s, u"1"_s, u"q"_s, u"Which?"_s, {}};
    EXPECT_TRUE(envelope.isValid());
    WorkerQuestionEnvelope copy = envelope;
    copy.prompt = u" \n\t "_s;
    EXPECT_FALSE(copy.isValid());
    copy = envelope;
    copy.requestID = QString();
    EXPECT_FALSE(copy.isValid());
}
