#include "codex/CodexExecutable.h"
#include "codex/CodexWorkerProtocol.h"
#include "platform/HostSystem.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace kestrabo;

namespace {

struct Probe {
    QStringList tested;
    QStringList executables;
    bool operator()(const QString& path)
    {
        tested.append(path);
        return executables.contains(path);
    }
};

} // namespace

TEST(CodexDiscovery, PathCandidatesComeFirstThenTheFixedOnes)
{
    Probe probe;
    const Environment environment{{"PATH", "::relative/bin:/usr/bin/:/opt/tools:"}};
    const auto found = CodexWorkerProtocol::executableURL(environment, "/home/ada", std::ref(probe));
    EXPECT_FALSE(found);
    EXPECT_EQ(probe.tested, (QStringList{"/usr/bin/codex", "/opt/tools/codex", "/home/ada/.local/bin/codex",
                                          "/opt/homebrew/bin/codex", "/usr/local/bin/codex",
                                          "/home/ada/.cargo/bin/codex"}));

    Probe winner;
    winner.executables = {"/opt/homebrew/bin/codex", "/opt/tools/codex", "/home/ada/.local/bin/codex"};
    EXPECT_EQ(CodexWorkerProtocol::executableURL(environment, "/home/ada", std::ref(winner)),
              QString("/opt/tools/codex"));
    EXPECT_EQ(winner.tested.size(), 2);

    Probe noPath;
    EXPECT_FALSE(CodexExecutable::resolve({}, "/home/ada", std::ref(noPath)));
    EXPECT_EQ(noPath.tested, (QStringList{"/home/ada/.local/bin/codex", "/opt/homebrew/bin/codex",
                                           "/usr/local/bin/codex", "/home/ada/.cargo/bin/codex"}));

    // HOME from the map wins over the account's home; only its absence falls back.
    Probe withHome;
    CodexWorkerProtocol::executableURL({{"HOME", "/srv/other/"}}, "/home/ada", std::ref(withHome));
    EXPECT_EQ(withHome.tested.first(), QString("/srv/other/.local/bin/codex"));
    EXPECT_EQ(withHome.tested.last(), QString("/srv/other/.cargo/bin/codex"));

    // Duplicates are tested again rather than removed.
    Probe duplicate;
    CodexExecutable::resolve({{"PATH", "/usr/local/bin"}}, "/h", std::ref(duplicate));
    EXPECT_EQ(duplicate.tested.count("/usr/local/bin/codex"), 2);
}

TEST(CodexDiscovery, RealExecutableTestSkipsPlainFilesAndDirectories)
{
    QTemporaryDir directory;
    ASSERT_TRUE(directory.isValid());
    const QString plain = directory.filePath("plain/codex");
    const QString folder = directory.filePath("folder/codex");
    const QString real = directory.filePath("real/codex");
    ASSERT_TRUE(QDir().mkpath(directory.filePath("plain")) && QDir().mkpath(folder) && QDir().mkpath(directory.filePath("real")));
    for (const QString& path : {plain, real}) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("#!/bin/sh\n");
    }
    QFile::setPermissions(real, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QString path = directory.filePath("plain") + ':' + directory.filePath("folder") + ':' + directory.filePath("real");
    EXPECT_EQ(CodexWorkerProtocol::executableURL({{"PATH", path}, {"HOME", directory.path()}}), real);
}

TEST(CodexDiscovery, ChildEnvironmentIsSanitised)
{
    const Environment from{
        {"CODEX_HOME", "/home/ada/.codex"},
        {"CODEX_HOME_EXTRA", "x"},
        {"CODEX_SANDBOX", "seatbelt"},
        {"OPENAI_API_KEY", "sk-secret"},
        {"PATH", ""},
    };
    EXPECT_EQ(CodexWorkerProtocol::environment(from),
              (Environment{{"CODEX_HOME", "/home/ada/.codex"},
                           {"PATH", "/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin"}}));

    const Environment kept{{"codex_lower", "1"}, {"OPENAI_BASE_URL", "http://127.0.0.1:1"}, {"PATH", "/x:"}, {"LANG", "C"}};
    EXPECT_EQ(CodexWorkerProtocol::environment(kept), kept);
    EXPECT_EQ(CodexWorkerProtocol::environment({}).value("PATH"), QString("/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin"));
}
