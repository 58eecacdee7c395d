// The command-line modes of the real executable, run as a user or a script would run them.

#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

struct Outcome {
    int exitCode = -1;
    QString out;
    QString err;
};

// No display, no Secret Service on the bus, no sound server, a private runtime directory:
// whatever the mode needs beyond that, it must do without.
QProcessEnvironment isolated(const QString& directory)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QString::fromLatin1(name));
    environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, u"unix:path="_s + directory + u"/no-bus"_s);
    environment.insert(u"PULSE_SERVER"_s, u"unix:"_s + directory + u"/no-pulse"_s);
    environment.insert(u"XDG_RUNTIME_DIR"_s, directory);
    environment.insert(u"HOME"_s, directory);
    return environment;
}

Outcome run(const QString& program, const QStringList& arguments, const QString& directory)
{
    QProcess process;
    process.setProcessEnvironment(isolated(directory));
    process.setWorkingDirectory(directory);
    process.start(program, arguments);
    if (!process.waitForFinished(30'000)) {
        process.kill();
        process.waitForFinished();
    }
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()), QString::fromUtf8(process.readAllStandardError())};
}

const QString kExecutable = QStringLiteral(KESTRABO_BINARY_DIR "/src/kestrabo");

} // namespace

TEST(CommandLine, AnswersHelpVersionAndUnknownOptionsAsAnyProgram)
{
    QTemporaryDir directory;
    const Outcome help = run(kExecutable, {u"--help"_s}, directory.path());
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.startsWith(u"Usage: kestrabo"_s)) << help.out.toStdString();

    const Outcome version = run(kExecutable, {u"--version"_s}, directory.path());
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, u"kestrabo " KESTRABO_VERSION " (Development build)\n"_s);

    // Even beside a valid mode, an unknown option runs nothing.
    const Outcome unknown = run(kExecutable, {u"--permission-diagnostics"_s, u"--frobnicate"_s}, directory.path());
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_EQ(unknown.out, QString());
    EXPECT_TRUE(unknown.err.startsWith(u"kestrabo: unknown option: --frobnicate\nUsage: kestrabo"_s))
        << unknown.err.toStdString();
}

TEST(CommandLine, DiagnosticsPrintOneSortedLineWithoutKeyringOrDisplay)
{
    QTemporaryDir directory;
    // Both modes: the report wins and no preview is rendered.
    const Outcome report = run(kExecutable, {u"--render-preview"_s, u"--permission-diagnostics"_s}, directory.path());
    EXPECT_EQ(report.exitCode, 0) << report.err.toStdString();
    ASSERT_TRUE(report.out.endsWith(u'\n'));
    EXPECT_EQ(report.out.count(u'\n'), 1) << report.out.toStdString();
    EXPECT_FALSE(QDir(directory.filePath(u".build"_s)).exists());

    const QByteArray line = report.out.trimmed().toUtf8();
    const QJsonObject object = QJsonDocument::fromJson(line).object();
    // Compact, with the keys in sorted order, as QJsonDocument writes it back.
    EXPECT_EQ(QJsonDocument(object).toJson(QJsonDocument::Compact), line);
    // No bundle, and no display to capture or listen on.
    EXPECT_EQ(object, QJsonObject({{u"appVersion"_s, u"unknown"_s}, {u"bundleIdentifier"_s, u"unbundled"_s},
                                   {u"eventTapUsable"_s, false}, {u"inputMonitoringPreflight"_s, false},
                                   {u"microphoneAuthorized"_s, object[u"microphoneAuthorized"_s].toBool()},
                                   {u"screenFunctional"_s, u"unavailable"_s}, {u"screenPreflight"_s, false}}));
    EXPECT_TRUE(object[u"microphoneAuthorized"_s].isBool());
}

TEST(CommandLine, RendersFourPreviewsOffScreen)
{
    QTemporaryDir directory;
    const Outcome preview = run(kExecutable, {u"--render-preview"_s}, directory.path());
    EXPECT_EQ(preview.exitCode, 0) << preview.err.toStdString();
    const QString target = QDir(directory.path()).absoluteFilePath(u".build/previews"_s);
    EXPECT_EQ(preview.out, u"Rendering previews in "_s + target
                               + u"\nRendered settings.png\nRendered ready.png\nRendered conversation.png\n"
                                 u"Rendered collapsed.png\n"_s);
    QMap<QString, QSize> sizes;
    for (const QString& name : {u"settings"_s, u"ready"_s, u"conversation"_s, u"collapsed"_s}) {
        const QImage image(QDir(target).filePath(name + u".png"_s));
        ASSERT_FALSE(image.isNull()) << name.toStdString();
        sizes[name] = image.size();
        // The 20-point inset shows the grey background at the corner.
        EXPECT_EQ(image.pixel(2, image.height() - 3), QColor::fromRgbF(0.18f, 0.18f, 0.18f).rgb())
            << name.toStdString();
    }
    // The three cards share one width; the bar is smaller both ways; the pages differ in height.
    EXPECT_EQ(sizes[u"settings"_s].width(), sizes[u"ready"_s].width());
    EXPECT_EQ(sizes[u"conversation"_s].width(), sizes[u"ready"_s].width());
    EXPECT_LT(sizes[u"collapsed"_s].width(), sizes[u"ready"_s].width());
    EXPECT_LT(sizes[u"collapsed"_s].height(), sizes[u"ready"_s].height());
    EXPECT_LT(sizes[u"ready"_s].height(), sizes[u"conversation"_s].height());
    EXPECT_LT(sizes[u"conversation"_s].height(), sizes[u"settings"_s].height());

    // A file where the directory should be: the sentence, and the process still ends.
    QTemporaryDir blocked;
    QFile file(blocked.filePath(u".build"_s));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    const Outcome refused = run(kExecutable, {u"--render-preview"_s}, blocked.path());
    EXPECT_EQ(refused.exitCode, 0);
    EXPECT_EQ(refused.out, u"Could not create the preview directory.\n"_s);
}

TEST(CommandLine, InstallsIntoAPrefixAsTheBundle)
{
    QTemporaryDir prefix;
    QProcess install;
    install.start(u"cmake"_s, {u"--install"_s, QStringLiteral(KESTRABO_BINARY_DIR), u"--prefix"_s, prefix.path()});
    ASSERT_TRUE(install.waitForFinished(60'000));
    ASSERT_EQ(install.exitCode(), 0) << install.readAllStandardError().toStdString();
    const QDir root(prefix.path());
    EXPECT_TRUE(QFile::exists(root.filePath(u"share/applications/com.vorn.kestrabo.desktop"_s)));
    EXPECT_TRUE(QFile::exists(root.filePath(u"share/icons/hicolor/scalable/apps/com.vorn.kestrabo.svg"_s)));

    QTemporaryDir directory;
    const QString installed = root.filePath(u"bin/kestrabo"_s);
    const Outcome report = run(installed, {u"--permission-diagnostics"_s}, directory.path());
    EXPECT_EQ(report.exitCode, 0);
    const QJsonObject object = QJsonDocument::fromJson(report.out.toUtf8()).object();
    EXPECT_EQ(object[u"bundleIdentifier"_s], u"com.vorn.kestrabo"_s);
    EXPECT_EQ(object[u"appVersion"_s], QStringLiteral(KESTRABO_VERSION));

    const Outcome version = run(installed, {u"--version"_s}, directory.path());
    EXPECT_TRUE(version.out.contains(QRegularExpression(u"^kestrabo \\S+ \\(Build \\S+\\. \\d{4}-\\d\\d-\\d\\d\\)\n$"_s)))
        << version.out.toStdString();
}

// A normal run talks only about failures: nothing on standard output while it runs and quits.
TEST(CommandLine, NormalRunPrintsNothing)
{
    QTemporaryDir directory;
    QProcessEnvironment environment = isolated(directory.path());
    environment.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(kExecutable, {});
    ASSERT_TRUE(process.waitForStarted());
    // Running once it listens for a second launch.
    ASSERT_TRUE(kestrabo::test::waitUntil([&] { return QFile::exists(directory.filePath(u"kestrabo.socket"_s)); }, 15'000));
    kestrabo::test::spin(500);
    process.terminate();
    ASSERT_TRUE(process.waitForFinished(15'000));
    EXPECT_EQ(process.exitCode(), 0);
    EXPECT_EQ(process.readAllStandardOutput().toStdString(), "");
}
