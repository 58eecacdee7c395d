#include "CodexTestSupport.h"

using namespace kestrabo;
using namespace kestrabo::test;
namespace protocol = kestrabo::CodexWorkerProtocol;

TEST(CodexDiscovery, PathDirectoriesComeFirstThenTheFixedOnes)
{
    const QStringList fixed{"/h/.local/bin/codex", "/opt/homebrew/bin/codex", "/usr/local/bin/codex",
                            "/h/.cargo/bin/codex"};
    // Relative and empty pieces are skipped; duplicates are tested again.
    const Environment environment{{"PATH", "::relative/bin:/usr/local/bin/:/opt/tools:"}};
    EXPECT_EQ(CodexExecutable::candidates(environment, "/h"),
              QStringList({"/usr/local/bin/codex", "/opt/tools/codex"}) + fixed);
    EXPECT_EQ(CodexExecutable::candidates({}, "/h"), fixed);
    const auto found = [](const Environment& environment, const QStringList& executables) {
        return protocol::executableURL(environment, "/h", [&](const QString& p) { return executables.contains(p); });
    };
    EXPECT_EQ(found(environment, {"/opt/homebrew/bin/codex", "/opt/tools/codex"}), QString("/opt/tools/codex"));
    // HOME from the map wins over the account's home.
    EXPECT_EQ(found({{"HOME", "/srv/other/"}}, {"/h/.cargo/bin/codex", "/srv/other/.cargo/bin/codex"}),
              QString("/srv/other/.cargo/bin/codex"));

}

TEST(CodexDiscovery, ChildEnvironmentIsSanitised)
{
    const QString fallback = "/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin";
    const Environment from{{"CODEX_HOME", "/c"}, {"CODEX_HOME_EXTRA", "x"}, {"CODEX_SANDBOX", "seatbelt"},
                           {"OPENAI_API_KEY", "sk-secret"}, {"PATH", ""}};
    EXPECT_EQ(protocol::environment(from), (Environment{{"CODEX_HOME", "/c"}, {"PATH", fallback}}));
    const Environment kept{{"codex_lower", "1"}, {"OPENAI_BASE_URL", "http://127.0.0.1:1"}, {"PATH", "/x:"}};
    EXPECT_EQ(protocol::environment(kept), kept);
    EXPECT_EQ(protocol::environment({}), (Environment{{"PATH", fallback}}));
}

namespace {

QJsonObject question(const QString& id, const QString& prompt = "Which one?", int options = 1)
{
    QJsonArray list;
    for (int i = 0; i < options; ++i)
        list.append(QJsonObject{{"label", QString::number(i)}, {"description", ""}});
    return {{"id", id}, {"header", "Pick"}, {"question", prompt}, {"options", list}};
}

QJsonObject request(const QJsonArray& questions) { return {{"itemId", "call_1"}, {"questions", questions}}; }

} // namespace

TEST(CodexProtocol, QuestionRequestsAreReadOrRejectedWhole)
{
    // Reading what is accepted is checked against the stand-in in the worker's tests.
    const auto accepted = protocol::questionRequest("abc", request({question("q")}));
    ASSERT_TRUE(accepted);
    EXPECT_EQ(accepted->id, QString("s:abc"));
    EXPECT_EQ(accepted->itemID, QString("call_1"));

    QJsonArray eleven;
    for (int i = 0; i < 11; ++i)
        eleven.append(question(QString("q%1").arg(i)));
    QJsonObject noDescription = question("q");
    noDescription["options"] = QJsonArray{QJsonObject{{"label", "A"}}};
    const std::tuple<const char*, QJsonValue, QJsonObject> rejected[] = {
        {"eleven questions", 0, request(eleven)},
        {"no questions", 0, request({})},
        {"duplicate ids", 0, request({question("q"), question("q")})},
        {"empty prompt", 0, request({question("q", "")})},
        {"201-byte id", 0, request({question(QString(201, 'i'))})},
        {"150 two-byte characters as id", 0, request({question(QString(150, QChar(0x00E9)))})},
        {"21 options", 0, request({question("q", "Which one?", 21)})},
        {"option without description", 0, request({noDescription})},
        {"boolean request id", true, request({question("q")})},
        {"empty item id", 0, QJsonObject{{"itemId", ""}, {"questions", QJsonArray{question("q")}}}},
    };
    for (const auto& [name, id, params] : rejected)
        EXPECT_FALSE(protocol::questionRequest(id, params)) << name;
    // Limits are bytes: 200 bytes pass, also as 100 two-byte characters; so do 20 options.
    EXPECT_TRUE(protocol::questionRequest(0, request({question(QString(100, QChar(0x00E9)))})));
    EXPECT_TRUE(protocol::questionRequest(0, request({question(QString(200, 'i'), "Which one?", 20)})));
}

TEST(CodexProtocol, ResultsAndSummaries)
{
    EXPECT_EQ(protocol::questionResponse({{"a", {"one"}}, {"b", {"two", "three"}}}),
              json(R"({"answers":{"a":{"answers":["one"]},"b":{"answers":["two","three"]}}})"));

    const QString elicitation = "mcpServer/elicitation/request";
    const QString permissions = "item/permissions/requestApproval";
    const std::tuple<QString, QByteArray, std::optional<QString>> summaries[] = {
        {permissions, R"({"reason":""})", "Codex is waiting for additional filesystem or network access."},
        {"execCommandApproval", "{}", "Codex is waiting for approval to run a command."},
        {"item/commandExecution/requestApproval", R"({"command":" make check ","availableDecisions":["accept"]})",
         "Codex is waiting for approval to run a command: make check"},
        {"execCommandApproval", R"({"command":["git","push"]})", "Codex is waiting for approval to run a command: git push"},
        {"item/commandExecution/requestApproval", R"({"command":")" + QByteArray(250, 'x') + R"("})",
         "Codex is waiting for approval to run a command: " + QString(200, 'x')},
        {"applyPatchApproval", "{}", "Codex is waiting for approval to change a file."},
        {"item/fileChange/requestApproval", R"({"reason":"Edit notes"})", "Edit notes"},
        {elicitation, R"({"message":7})", "Codex needs approval to use an app for this task."},
        {"turn/start", "{}", std::nullopt},
    };
    for (const auto& [method, params, summary] : summaries)
        EXPECT_EQ(protocol::reviewSummary(method, json(params)), summary) << qPrintable(method);

    // One click accepts only a form-mode tool-call elicitation that requires nothing.
    const std::pair<const char*, bool> oneClick[] = {
        {"", true}, {R"(,"requestedSchema":{"type":"object","properties":{}})", true},
        {R"(,"requestedSchema":{"required":[]})", true}, {R"(,"requestedSchema":{"required":"n"})", true},
        {R"(,"requestedSchema":"not an object")", true}, {R"(,"requestedSchema":{"required":["n"]})", false},
    };
    const auto elicited = [](const char* mode, const char* kind, const char* rest = "") {
        return json(QString(R"({"mode":"%1","_meta":{"codex_approval_kind":"%2"}%3})").arg(mode, kind, rest).toUtf8());
    };
    for (const auto& [rest, accepted] : oneClick)
        EXPECT_EQ(protocol::acceptsWithOneClick(elicitation, elicited("form", "mcp_tool_call", rest)), accepted) << rest;
    EXPECT_FALSE(protocol::acceptsWithOneClick(elicitation, elicited("url", "mcp_tool_call")));
    EXPECT_FALSE(protocol::acceptsWithOneClick(elicitation, elicited("form", "other")));
    EXPECT_FALSE(protocol::acceptsWithOneClick(permissions, elicited("form", "mcp_tool_call")));

    EXPECT_EQ(protocol::declineResult(elicitation), json(R"({"action":"decline","content":null,"_meta":null})"));
    EXPECT_EQ(protocol::declineResult(permissions), json(R"({"permissions":{},"scope":"turn"})"));
    EXPECT_EQ(protocol::declineResult("item/commandExecution/requestApproval"), json(R"({"decision":"decline"})"));
    EXPECT_FALSE(protocol::declineResult("execCommandApproval"));
}

TEST(CodexProtocol, RequestsSentToCodex)
{
    const QString instructions = protocol::baseInstructions();
    EXPECT_TRUE(instructions.contains("Never read or export passwords"));
    QJsonObject thread = json(R"({"model":"gpt-5.6-sol","allowProviderModelFallback":false,"cwd":"/home/ada",
        "approvalPolicy":"never","approvalsReviewer":"user","sandbox":"danger-full-access","ephemeral":true})");
    thread["baseInstructions"] = instructions;
    EXPECT_EQ(protocol::thread("/home/ada"), thread);

    // Cuts count user-perceived characters: a flag is one character of four UTF-16 units.
    const QString task = QString::fromUtf8("\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7").repeated(9'000);
    const QString text = "User's delegated task:\n" + task.left(8'000 * 4)
        + "\n\nUntrusted conversation and screen context for reference:\n" + QString(12'000, 'c');
    const QJsonArray input{QJsonObject{{"type", "text"}, {"text", text}, {"text_elements", QJsonArray()}}};
    EXPECT_EQ(protocol::turn("thr_1", task, QString(12'500, 'c') + "  "),
              (QJsonObject{{"threadId", "thr_1"}, {"model", "gpt-5.6-sol"}, {"effort", "high"}, {"input", input}}));
}
