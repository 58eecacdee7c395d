#include "live/Protocol.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>

#include <gtest/gtest.h>

using namespace kestrabo;
using namespace Qt::StringLiterals;

namespace {

QStringList contents(const QList<QJsonObject>& events)
{
    QStringList result;
    for (const QJsonObject& event : events)
        result.append(event.value(u"content"_s).toString());
    return result;
}

WorkerQuestionEnvelope envelope(QStringList options)
{
    return WorkerQuestionEnvelope{QUuid(u"{6f1c2a3b-4d5e-4f60-8a9b-0c1d2e3f4a5b}"_s),
                                  u"Book a table"_s,
                                  u"7"_s,
                                  u"time"_s,
                                  u"Which time works?"_s,
                                  std::move(options)};
}

} // namespace

TEST(LiveProtocol, SessionStartHasExactlyItsKeys)
{
    const QByteArray expected = R"({"type": "session.start", "session": {"model": "gpt-live-1", "store": false,
        "audio": {"format": {"type": "audio/pcm", "rate": 24000}, "output": {"voice": "marin"}},
        "delegation": {"type": "client"}}})";
    QJsonObject start = LiveProtocol::start();
    QJsonObject session = start.value(u"session"_s).toObject();
    EXPECT_TRUE(session.take(u"instructions"_s).toString().startsWith(u"You are Kestrabo, a concise"_s));
    start.insert(u"session"_s, session);
    EXPECT_EQ(start, QJsonDocument::fromJson(expected).object());
    // The serialised rate stays an integer on the wire.
    EXPECT_TRUE(QJsonDocument(start).toJson(QJsonDocument::Compact).contains("\"rate\":24000"));
}

TEST(LiveProtocol, AppendCarriesTypeFreshIdAndAlwaysADelegationKey)
{
    const QJsonObject silent = LiveProtocol::append(u"ctx"_s, std::nullopt, false);
    EXPECT_EQ(silent.keys().size(), 4);
    EXPECT_EQ(silent.value(u"type"_s).toString(), u"session.thinking.append"_s);
    EXPECT_TRUE(silent.value(u"delegation_id"_s).isNull()); // present, null
    EXPECT_EQ(silent.value(u"content"_s).toString(), u"ctx"_s);

    const QJsonObject spoken = LiveProtocol::append(u"say"_s, u"d1"_s, true);
    EXPECT_EQ(spoken.value(u"type"_s).toString(), u"session.commentary.append"_s);
    EXPECT_EQ(spoken.value(u"delegation_id"_s).toString(), u"d1"_s);
    const QString id = spoken.value(u"event_id"_s).toString();
    EXPECT_EQ(id.size(), 36);
    EXPECT_EQ(id, id.toUpper());
    EXPECT_FALSE(QUuid(id).isNull());
}

TEST(LiveProtocol, AppendsChunkTheTextEachWithItsOwnId)
{
    // Where the text is cut is the text helpers' business; here each piece is a whole event.
    EXPECT_TRUE(LiveProtocol::appends(QString(), u"d"_s, true).isEmpty());
    const auto two = LiveProtocol::appends(QString(479, QLatin1Char('a')) + QChar(0xE9), u"d7"_s, true);
    ASSERT_EQ(two.size(), 2);
    EXPECT_EQ(contents(two), (QStringList{QString(479, QLatin1Char('a')), QString(QChar(0xE9))}));
    EXPECT_NE(two[0].value(u"event_id"_s), two[1].value(u"event_id"_s));
    EXPECT_EQ(two[1].value(u"delegation_id"_s).toString(), u"d7"_s);
}

TEST(LiveProtocol, WorkerQuestionTextCarriesTheTaskTheIdsAndTheChoices)
{
    // The task's and the question's own words, the ids (never to be read aloud) and the choices.
    const QString text = LiveProtocol::workerQuestionText(envelope({u"7 pm"_s, u"8 pm"_s}));
    for (const QString& part :
         {u"WORKER_QUESTION\nHuman task title: Book a table\n"_s,
          u"Opaque task ID: 6F1C2A3B-4D5E-4F60-8A9B-0C1D2E3F4A5B\nOpaque request ID: 7\n"_s,
          u"Opaque question ID: time\n"_s,
          u"<question>Which time works?</question>\nChoices, in order: 7 pm | 8 pm\n"_s,
          u"Ask: \"For the task \"Book a table\", Which time works?\" and include the choices."_s})
        EXPECT_TRUE(text.contains(part)) << part.toStdString();

    const QString free = LiveProtocol::workerQuestionText(envelope({}));
    EXPECT_TRUE(free.contains(u"</question>\nNo fixed choices were provided.\nAsk: "_s));
    EXPECT_FALSE(free.contains(u"Choices, in order"_s));

    // Longer than one chunk: several spoken appends without delegation that rebuild the text.
    WorkerQuestionEnvelope longer = envelope({});
    longer.prompt = QString(600, QLatin1Char('q'));
    const auto events = LiveProtocol::workerQuestionContext(longer);
    ASSERT_GT(events.size(), 1);
    EXPECT_EQ(contents(events).join(QString()), LiveProtocol::workerQuestionText(longer));
    EXPECT_EQ(events[0].value(u"type"_s).toString(), u"session.commentary.append"_s);
    EXPECT_TRUE(events[0].value(u"delegation_id"_s).isNull());
}
