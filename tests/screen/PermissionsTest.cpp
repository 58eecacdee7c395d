#include "support/FakeGrabber.h"

#include "platform/StaticSystemAccess.h"
#include "platform/linux/LinuxSystemAccess.h"
#include "support/TestSupport.h"
#include "system/Permissions.h"

#include <gtest/gtest.h>

using namespace kestrabo;
using test::FakeGrabber;

namespace {

const QString kNotConfirmed = QStringLiteral("Screen access is not confirmed. Choose Allow to check it once.");
const QString kTimedOut = QStringLiteral("Screen access check timed out. Try Refresh permissions again.");

std::optional<ScreenAccessStatus> check(bool allowPrompt, bool preflight, const Permissions::Probe& probe)
{
    std::optional<ScreenAccessStatus> answer;
    Permissions::checkScreenAccess(allowPrompt, preflight, probe, [&](const ScreenAccessStatus& status) { answer = status; });
    EXPECT_FALSE(answer) << "answers arrive in a later turn";
    test::waitUntil([&] { return answer.has_value(); });
    return answer;
}

// `depth` wrappers around the innermost error.
KestraboError nested(const KestraboError& innermost, int depth)
{
    KestraboError error = innermost;
    for (int i = 0; i < depth; ++i)
        error = KestraboError(QStringLiteral("Wrapper"), i, QStringLiteral("level")).wrapping(error);
    return error;
}

} // namespace

TEST(Permissions, ChecksWithoutPromptUsePreflightThenMemory)
{
    lastScreenAccess.reset();
    int probes = 0;
    const Permissions::Probe probe = [&](Permissions::StatusCallback) { ++probes; };

    EXPECT_EQ(check(false, false, probe), ScreenAccessStatus::unavailable(kNotConfirmed));
    EXPECT_FALSE(lastScreenAccess);
    EXPECT_EQ(check(false, true, probe), ScreenAccessStatus::available());
    EXPECT_EQ(lastScreenAccess, ScreenAccessStatus::available());
    // The preflight may lag behind: a remembered answer stands.
    EXPECT_EQ(check(false, false, probe), ScreenAccessStatus::available());
    lastScreenAccess = ScreenAccessStatus::denied();
    EXPECT_EQ(check(false, false, probe), ScreenAccessStatus::denied());
    EXPECT_EQ(probes, 0);

    EXPECT_NE(ScreenAccessStatus::unavailable(QStringLiteral("a")), ScreenAccessStatus::unavailable(QStringLiteral("b")));
    EXPECT_EQ(ScreenAccessStatus::unavailable(QStringLiteral("a")), ScreenAccessStatus::unavailable(QStringLiteral("a")));
}

TEST(Permissions, PromptingChecksShareOneProbe)
{
    lastScreenAccess.reset();
    int probes = 0;
    Permissions::StatusCallback pending;
    const Permissions::Probe probe = [&](Permissions::StatusCallback answer) {
        ++probes;
        pending = std::move(answer);
    };
    std::optional<ScreenAccessStatus> first, second;
    Permissions::checkScreenAccess(true, true, probe, [&](const ScreenAccessStatus& s) { first = s; });
    Permissions::checkScreenAccess(true, false, probe, [&](const ScreenAccessStatus& s) { second = s; });
    ASSERT_TRUE(test::waitUntil([&] { return bool(pending); }));
    test::spin(20);
    EXPECT_EQ(probes, 1);
    EXPECT_FALSE(first || second);
    EXPECT_FALSE(lastScreenAccess) << "a prompting check ignores the preflight";

    pending(ScreenAccessStatus::denied());
    pending(ScreenAccessStatus::available()); // a second answer changes nothing
    EXPECT_EQ(first, ScreenAccessStatus::denied());
    EXPECT_EQ(second, ScreenAccessStatus::denied());
    EXPECT_EQ(lastScreenAccess, ScreenAccessStatus::denied());

    // Once it has answered, the next prompting check probes again.
    pending = nullptr;
    std::optional<ScreenAccessStatus> third;
    Permissions::checkScreenAccess(true, false, probe, [&](const ScreenAccessStatus& s) { third = s; });
    ASSERT_TRUE(test::waitUntil([&] { return bool(pending); }));
    EXPECT_EQ(probes, 2);
    pending(ScreenAccessStatus::available());
    EXPECT_EQ(third, ScreenAccessStatus::available());
}

TEST(Permissions, ProbeAnswersFromTheBackend)
{
    FakeGrabber grabber;
    const auto probe = [&]() {
        std::optional<ScreenAccessStatus> answer;
        Permissions::probeScreenAccess(grabber, [&](const ScreenAccessStatus& s) { answer = s; });
        test::waitUntil([&] { return answer.has_value(); });
        return answer;
    };
    grabber.displays = {{QStringLiteral("screen"), QStringLiteral("screen"), QRect(0, 0, 10, 10)}};
    EXPECT_EQ(probe(), ScreenAccessStatus::available());
    grabber.displays.clear();
    EXPECT_EQ(probe(), ScreenAccessStatus::unavailable(QStringLiteral(
                           "No display is available for screen capture. Try Refresh permissions again.")));
    grabber.displaysError = nested(test::accessDenied(), 2);
    EXPECT_EQ(probe(), ScreenAccessStatus::denied());
    grabber.displaysError = KestraboError(ScreenCaptureError::domain, ScreenCaptureError::unreachable, QStringLiteral("x"));
    EXPECT_EQ(probe(), ScreenAccessStatus::unavailable(QStringLiteral(
                           "Screen capture is temporarily unavailable. Try Refresh permissions again.")));
}

TEST(Permissions, LateProbeAnswerIsNeitherReturnedNorRemembered)
{
    lastScreenAccess.reset();
    FakeGrabber grabber;
    grabber.hold = true;
    grabber.displays = {{QStringLiteral("screen"), QStringLiteral("screen"), QRect(0, 0, 10, 10)}};
    const Permissions::Probe probe = [&](Permissions::StatusCallback answer) {
        Permissions::probeScreenAccess(grabber, std::move(answer), std::chrono::milliseconds(30));
    };
    int answers = 0;
    std::optional<ScreenAccessStatus> status;
    Permissions::checkScreenAccess(true, true, probe, [&](const ScreenAccessStatus& s) {
        ++answers;
        status = s;
    });
    ASSERT_TRUE(test::waitUntil([&] { return status.has_value(); }));
    EXPECT_EQ(status, ScreenAccessStatus::unavailable(kTimedOut));
    EXPECT_EQ(lastScreenAccess, ScreenAccessStatus::unavailable(kTimedOut));

    ASSERT_TRUE(grabber.holding());
    grabber.release(); // the backend finally answers "available"
    test::spin(50);
    EXPECT_EQ(answers, 1);
    EXPECT_EQ(lastScreenAccess, ScreenAccessStatus::unavailable(kTimedOut));
}

TEST(Permissions, DenialIsFoundAtMostEightErrorsDeep)
{
    const KestraboError denial = test::accessDenied();
    EXPECT_TRUE(Permissions::isScreenAccessDenied(denial));
    EXPECT_TRUE(Permissions::isScreenAccessDenied(nested(denial, 3)));
    EXPECT_TRUE(Permissions::isScreenAccessDenied(nested(denial, 7))); // the eighth error examined
    EXPECT_FALSE(Permissions::isScreenAccessDenied(nested(denial, 8)));
    EXPECT_FALSE(Permissions::isScreenAccessDenied(nested(denial, 10)));
    EXPECT_FALSE(Permissions::isScreenAccessDenied(
        KestraboError(ScreenCaptureError::domain, ScreenCaptureError::readFailed, QStringLiteral("x"))));
    EXPECT_FALSE(Permissions::isScreenAccessDenied(
        KestraboError(QStringLiteral("Other"), ScreenCaptureError::accessDenied, QStringLiteral("x"))));
}

TEST(Permissions, MicrophoneRequestOpensSettingsOnlyWhenRefused)
{
    const auto request = [](StaticSystemAccess& access) {
        std::optional<bool> answer;
        Permissions::requestMicrophone(access, [&](bool granted) { answer = granted; });
        test::waitUntil([&] { return answer.has_value(); });
        return answer;
    };
    StaticSystemAccess allowed;
    EXPECT_EQ(request(allowed), true);
    EXPECT_EQ(allowed.microphoneRequests, 0);

    StaticSystemAccess denied;
    denied.microphone = false;
    denied.microphoneGrant = false;
    EXPECT_EQ(request(denied), false);
    EXPECT_EQ(denied.openedPanes, QStringList{QStringLiteral("Privacy_Microphone")});

    StaticSystemAccess granted;
    granted.microphone = false;
    EXPECT_EQ(request(granted), true);
    EXPECT_TRUE(granted.openedPanes.isEmpty());
}

TEST(LinuxSystemAccess, OpensTheDesktopsSettingsOrExplains)
{
    FakeGrabber grabber;
    LinuxSystemAccess access(&grabber);
    QStringList installed{QStringLiteral("gnome-control-center"), QStringLiteral("systemsettings")};
    access.findProgram = [&](const QString& program) {
        return installed.contains(program) ? QStringLiteral("/usr/bin/") + program : QString();
    };
    QList<QStringList> launched;
    bool launchWorks = true;
    access.launch = [&](const QString& program, const QStringList& arguments) {
        launched.append(QStringList{program} + arguments);
        return launchWorks;
    };
    QStringList explained;
    access.onExplanation = [&](const QString& anchor, const QString&) { explained.append(anchor); };

    const QString microphone = QStringLiteral("Privacy_Microphone");
    const QString accessibility = QStringLiteral("Privacy_Accessibility");
    EXPECT_EQ(access.settingsCommand(microphone, QStringLiteral("ubuntu:GNOME")),
              (QStringList{QStringLiteral("gnome-control-center"), QStringLiteral("sound")}));
    EXPECT_EQ(access.settingsCommand(accessibility, QStringLiteral("KDE")),
              (QStringList{QStringLiteral("systemsettings"), QStringLiteral("kcm_access")}));
    EXPECT_FALSE(access.settingsCommand(QStringLiteral("Privacy_ScreenCapture"), QStringLiteral("GNOME")));
    installed = {QStringLiteral("pavucontrol")};
    EXPECT_EQ(access.settingsCommand(microphone, QStringLiteral("GNOME")),
              (QStringList{QStringLiteral("pavucontrol"), QStringLiteral("--tab=4")}));
    EXPECT_FALSE(access.settingsCommand(accessibility, QStringLiteral("GNOME")));

    qputenv("XDG_CURRENT_DESKTOP", "GNOME");
    access.openPrivacyPane(microphone);
    EXPECT_EQ(launched.size(), 1);
    EXPECT_TRUE(explained.isEmpty());
    launchWorks = false;
    access.openPrivacyPane(microphone);
    access.openPrivacyPane(QStringLiteral("Privacy_ScreenCapture"));
    EXPECT_EQ(explained, (QStringList{microphone, QStringLiteral("Privacy_ScreenCapture")}));
    EXPECT_FALSE(LinuxSystemAccess::explanation(QStringLiteral("Privacy_ScreenCapture")).isEmpty());

    // Preflight is the backend's; no backend, no screen.
    grabber.preflightAnswer = false;
    EXPECT_FALSE(access.screenCapturePreflight());
    grabber.preflightAnswer = true;
    EXPECT_TRUE(access.screenCapturePreflight());
    EXPECT_FALSE(LinuxSystemAccess(nullptr).screenCapturePreflight());
}
