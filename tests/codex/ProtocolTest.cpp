#include "codex/CodexRPC.h"
#include "codex/CodexWorkerProtocol.h"
#include "core/Text.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <gtest/gtest.h>

using namespace kestrabo;
namespace protocol = kestrabo::CodexWorkerProtocol;

namespace {

QJsonObject parse(const char* text)
{
    return QJsonDocument::fromJson(QByteArray(text)).object();
}

QJsonObject question(const QString& id, const QString& prompt = "Which one?")
{
    return {{"id", id}, {"header", "Pick"}, {"question", prompt},
            {"options", QJsonArray{QJsonObject{{"label", "A"}, {"description", ""}}}}};
}

QJsonObject request(const QJsonArray& questions)
{
    return {{"threadId", "thr"}, {"turnId", "turn"}, {"itemId", "call_1"}, {"questions", questions}};
}

} // namespace

TEST(CodexProtocol, QuestionRequestsAreReadOrRejectedWhole)
{
    const auto accepted = protocol::questionRequest(
        QJsonValue(0), request({parse(R"({"id":"q1","header":"","question":"Name?","options":null,"isOther":"yes","isSecret":true})"),
                                parse(R"({"id":"q2","header":"H","question":"Size?","options":"S,M,L"})"),
                                question("q3")}));
    ASSERT_TRUE(accepted);
    EXPECT_EQ(accepted->id, QString("n:0"));
    EXPECT_EQ(accepted->itemID, QString("call_1"));
    ASSERT_EQ(accepted->questions.size(), 3);
    EXPECT_EQ(accepted->questions[0], (CodexQuestion{"q1", "", "Name?", {}, false, true}));
    EXPECT_TRUE(accepted->questions[1].options.isEmpty());
    EXPECT_EQ(accepted->questions[2].options, (QList<CodexQuestionOption>{{"A", ""}}));
    EXPECT_EQ(protocol::questionRequest(QJsonValue("abc"), request({question("q")}))->id, QString("s:abc"));

    QJsonArray eleven;
    for (int i = 0; i < 11; ++i)
        eleven.append(question(QString("q%1").arg(i)));
    QJsonArray options;
    for (int i = 0; i < 21; ++i)
        options.append(QJsonObject{{"label", QString::number(i)}, {"description", "d"}});
    QJsonObject manyOptions = question("q");
    manyOptions["options"] = options;
    QJsonObject noDescription = question("q");
    noDescription["options"] = QJsonArray{QJsonObject{{"label", "A"}}};

    const std::vector<std::pair<const char*, std::pair<QJsonValue, QJsonObject>>> rejected = {
        {"eleven questions", {0, request(eleven)}},
        {"no questions", {0, request({})}},
        {"duplicate ids", {0, request({question("q"), question("q")})}},
        {"empty prompt", {0, request({question("q", "")})}},
        {"201-byte id", {0, request({question(QString(201, 'i'))})}},
        {"150 two-byte characters as id", {0, request({question(QString(150, QChar(0x00E9)))})}},
        {"21 options", {0, request({manyOptions})}},
        {"option without description", {0, request({noDescription})}},
        {"boolean request id", {true, request({question("q")})}},
        {"empty item id", {0, QJsonObject{{"itemId", ""}, {"questions", QJsonArray{question("q")}}}}},
    };
    for (const auto& [name, input] : rejected)
        EXPECT_FALSE(protocol::questionRequest(input.first, input.second)) << name;

    // Limits are bytes: 200 bytes pass even when written as 100 two-byte characters.
    EXPECT_TRUE(protocol::questionRequest(0, request({question(QString(100, QChar(0x00E9)))})));
    EXPECT_TRUE(protocol::questionRequest(0, request({question(QString(200, 'i'))})));
}

TEST(CodexProtocol, ResultsAndSummaries)
{
    EXPECT_EQ(protocol::questionResponse({{"a", {"one"}}, {"b", {"two", "three"}}}),
              parse(R"({"answers":{"a":{"answers":["one"]},"b":{"answers":["two","three"]}}})"));

    EXPECT_EQ(protocol::reviewSummary("item/permissions/requestApproval", parse(R"({"reason":""})")),
              QString("Codex is waiting for additional filesystem or network access."));
    EXPECT_EQ(protocol::reviewSummary("execCommandApproval", {}), QString("Codex is waiting for approval to run a command."));
    EXPECT_EQ(protocol::reviewSummary("applyPatchApproval", {}), QString("Codex is waiting for approval to change a file."));
    EXPECT_EQ(protocol::reviewSummary("item/fileChange/requestApproval", parse(R"({"reason":"Edit notes"})")),
              QString("Edit notes"));
    EXPECT_EQ(protocol::reviewSummary("mcpServer/elicitation/request", parse(R"({"message":7})")),
              QString("Codex needs approval to use an app for this task."));
    EXPECT_FALSE(protocol::reviewSummary("turn/start", {}));

    const auto elicitation = [](const char* schema) {
        QJsonObject params = parse(R"({"mode":"form","_meta":{"codex_approval_kind":"mcp_tool_call"}})");
        if (schema)
            params["requestedSchema"] = QJsonDocument::fromJson(schema).isObject()
                ? QJsonValue(QJsonDocument::fromJson(schema).object())
                : QJsonValue(QString(schema));
        return params;
    };
    const QString method = "mcpServer/elicitation/request";
    EXPECT_TRUE(protocol::acceptsWithOneClick(method, elicitation(nullptr)));
    EXPECT_TRUE(protocol::acceptsWithOneClick(method, elicitation(R"({"type":"object","properties":{}})")));
    EXPECT_TRUE(protocol::acceptsWithOneClick(method, elicitation(R"({"required":[]})")));
    EXPECT_TRUE(protocol::acceptsWithOneClick(method, elicitation(R"({"required":"name"})")));
    EXPECT_TRUE(protocol::acceptsWithOneClick(method, elicitation("not an object")));
    EXPECT_FALSE(protocol::acceptsWithOneClick(method, elicitation(R"({"required":["name"]})")));
    QJsonObject url = elicitation(nullptr);
    url["mode"] = "url";
    EXPECT_FALSE(protocol::acceptsWithOneClick(method, url));
    EXPECT_FALSE(protocol::acceptsWithOneClick(method, parse(R"({"mode":"form","_meta":{"codex_approval_kind":"other"}})")));
    EXPECT_FALSE(protocol::acceptsWithOneClick("item/permissions/requestApproval", elicitation(nullptr)));

    EXPECT_EQ(protocol::declineResult(method), parse(R"({"action":"decline","content":null,"_meta":null})"));
    EXPECT_EQ(protocol::declineResult("item/permissions/requestApproval"), parse(R"({"permissions":{},"scope":"turn"})"));
    EXPECT_EQ(protocol::declineResult("item/commandExecution/requestApproval"), parse(R"({"decision":"decline"})"));
    EXPECT_FALSE(protocol::declineResult("execCommandApproval"));
    EXPECT_EQ(protocol::acceptResult(), parse(R"({"action":"accept","content":{},"_meta":null})"));
}

TEST(CodexProtocol, RequestsSentToCodex)
{
    const QString instructions = protocol::baseInstructions();
    EXPECT_EQ(instructions.size(), 1423);
    EXPECT_EQ(instructions.count('\n'), 16);
    EXPECT_TRUE(instructions.endsWith("Report only actions you verified."));

    const QJsonObject thread = protocol::thread("/home/ada");
    EXPECT_EQ(thread, (QJsonObject{{"model", "gpt-5.6-sol"}, {"allowProviderModelFallback", false}, {"cwd", "/home/ada"},
                                   {"approvalPolicy", "never"}, {"approvalsReviewer", "user"},
                                   {"sandbox", "danger-full-access"}, {"ephemeral", true},
                                   {"baseInstructions", instructions}}));
    EXPECT_EQ(protocol::initialize(),
              parse(R"({"clientInfo":{"name":"kestrabo","title":"Kestrabo","version":"0.1.0"},
                        "capabilities":{"experimentalApi":true,"requestAttestation":false}})"));

    // Cuts count user-perceived characters: a flag is one character of four UTF-16 units.
    const QString flag = QString::fromUtf8("\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7");
    QString task;
    for (int i = 0; i < 9'000; ++i)
        task += flag;
    const QString context = QString(12'500, 'c') + "  ";
    const QJsonObject turn = protocol::turn("thr_1", task, context);
    EXPECT_EQ(turn.value("threadId"), QJsonValue("thr_1"));
    EXPECT_EQ(turn.value("model"), QJsonValue("gpt-5.6-sol"));
    EXPECT_EQ(turn.value("effort"), QJsonValue("high"));
    const QJsonArray input = turn.value("input").toArray();
    ASSERT_EQ(input.size(), 1);
    EXPECT_EQ(input[0].toObject().value("type"), QJsonValue("text"));
    EXPECT_EQ(input[0].toObject().value("text_elements"), QJsonValue(QJsonArray()));
    const QString text = input[0].toObject().value("text").toString();
    EXPECT_EQ(text, "User's delegated task:\n" + task.left(8'000 * 4)
                        + "\n\nUntrusted conversation and screen context for reference:\n" + QString(12'000, 'c'));
    EXPECT_EQ(protocol::turnText(" short ", ""),
              QString("User's delegated task:\n short \n\nUntrusted conversation and screen context for reference:\n"));
    EXPECT_EQ(protocol::arguments(),
              (QStringList{"app-server", "--enable", "default_mode_request_user_input", "--listen", "stdio://"}));
}

TEST(CodexProtocol, IdKeysAndCleanedErrors)
{
    EXPECT_EQ(CodexRPC::idKey(QJsonValue("7")), QString("s:7"));
    EXPECT_EQ(CodexRPC::idKey(QJsonValue(7)), QString("n:7"));
    EXPECT_EQ(CodexRPC::idKey(QJsonValue(0)), QString("n:0"));
    EXPECT_EQ(CodexRPC::idKey(QJsonValue(2.5)), QString("n:2.5"));
    EXPECT_EQ(CodexRPC::idKey(QJsonDocument::fromJson("[9007199254740993]").array().first()),
              QString("n:9007199254740993"));
    for (const QJsonValue& invalid : {QJsonValue(true), QJsonValue(), QJsonValue(QJsonArray()), QJsonValue(QJsonObject())})
        EXPECT_FALSE(CodexRPC::idKey(invalid));

    EXPECT_FALSE(CodexRPC::cleanError(std::nullopt));
    EXPECT_FALSE(CodexRPC::cleanError(QString("\x01\x02 \t\n") + QChar(0x200B) + QChar(0xFEFF)));
    EXPECT_EQ(CodexRPC::cleanError(QString("  line one\nline two\r\nthree\t")), QString("line one line two  three"));
    EXPECT_EQ(CodexRPC::cleanError(QString(5'000, 'x')), QString(1'000, 'x'));
    EXPECT_EQ(CodexRPC::cleanError(QString("a") + QChar(0x200E) + "b"), QString("a b"));
}
