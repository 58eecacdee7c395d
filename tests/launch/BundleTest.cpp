// The relaunch, from an installed tree and from the build tree.

#include "app/AppBundle.h"
#include "support/ModelFixture.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace kestrabo;
using namespace Qt::StringLiterals;

TEST(Bundle, RelaunchesOnlyAnInstalledTree)
{
    QTemporaryDir prefix;
    const QDir root(prefix.path());
    ASSERT_TRUE(root.mkpath(u"bin"_s) && root.mkpath(u"share/applications"_s));
    const QString executable = root.filePath(u"bin/kestrabo"_s);
    for (const QString& path : {executable, root.filePath(u"share/applications/com.vorn.kestrabo.desktop"_s)}) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }

    test::ModelFixture f;
    AppModel& model = f.make();
    int terminations = 0;
    model.onTerminate = [&] { ++terminations; };
    QList<QStringList> launched;
    bool starts = true;
    const ProcessLauncher launch = [&](const QString& program, const QStringList& arguments) {
        launched.append(QStringList{program} + arguments);
        return starts;
    };

    // A build tree is no bundle, even with a desktop entry somewhere else.
    const AppBundle buildTree = AppBundle::at(QStringLiteral(KESTRABO_BINARY_DIR "/src/kestrabo"));
    EXPECT_FALSE(buildTree.installed());
    relaunch(buildTree, model, launch);
    EXPECT_EQ(model.error(), u"Quit and reopen Kestrabo to refresh system permissions."_s);
    EXPECT_TRUE(launched.isEmpty());
    EXPECT_EQ(terminations, 0);

    const AppBundle installed = AppBundle::at(executable);
    ASSERT_TRUE(installed.installed());
    EXPECT_EQ(installed.identifier, u"com.vorn.kestrabo"_s);
    starts = false;
    relaunch(installed, model, launch);
    EXPECT_EQ(model.error(), u"Kestrabo could not reopen itself. Quit and open it again manually."_s);
    EXPECT_EQ(terminations, 0);

    starts = true;
    relaunch(installed, model, launch);
    ASSERT_EQ(launched.size(), 2);
    EXPECT_EQ(launched.last(), (QStringList{u"/bin/sh"_s, u"-c"_s, u"sleep 1; exec \"$1\""_s, u"kestrabo-relaunch"_s,
                                            executable}));
    EXPECT_EQ(terminations, 1);
    EXPECT_TRUE(model.shuttingDown());
}
