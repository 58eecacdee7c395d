#include "support/FakeGrabber.h"

#include "platform/StaticSystemAccess.h"
#include "platform/linux/LinuxSystemAccess.h"
#include "support/TestSupport.h"
#include "system/Permissions.h"

#include <gtest/gtest.h>

using namespace kestrabo;
using namespace Qt::StringLiterals;
using test::FakeGrabber;

namespace {

const QString kTimedOut = u"Screen access check timed out. Try Refresh permissions again."_s;

// Answers arrive in a later turn, never inside the call.
template <class T> std::optional<T> answer(const std::function<void(std::function<void(T)>)>& ask)
{
    std::optional<T> result;
    ask([&](T value) { result = value; });
    EXPECT_FALSE(result) << "answered inside the call";
    test::waitUntil([&] { return result.has_value(); });
    return result;
}

std::optional<ScreenAccessStatus> check(bool allowPrompt, bool preflight, const Permissions::Probe& probe)
{
    return answer<ScreenAccessStatus>(
        [&](auto done) { Permissions::checkScreenAccess(allowPrompt, preflight, probe, done); });
}

KestraboError nested(const KestraboError& innermost, int wrappers)
{
    KestraboError error = innermost;
    for (int i = 0; i < wrappers; ++i)
        error = KestraboError(u"Wrapper"_s, i, u"level"_s).wrapping(error);
    return error;
}

} // namespace

TEST(Permissions, ChecksWithoutPromptUsePreflightThenMemory)
{
    lastScreenAccess.reset();
    const Permissions::Probe probe = [](Permissions::StatusCallback) { ADD_FAILURE() << "probed without a prompt"; };
    EXPECT_EQ(check(false, false, probe),
              ScreenAccessStatus::unavailable(u"Screen access is not confirmed. Choose Allow to check it once."_s));
    EXPECT_EQ(check(false, true, probe), ScreenAccessStatus::available());
    // The preflight may lag behind: a remembered answer stands.
    EXPECT_EQ(check(false, false, probe), ScreenAccessStatus::available());
    lastScreenAccess = ScreenAccessStatus::denied();
    EXPECT_EQ(check(false, false, probe), ScreenAccessStatus::denied());
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
    std::optional<ScreenAccessStatus> first, second, third;
    Permissions::checkScreenAccess(true, true, probe, [&](const ScreenAccessStatus& s) { first = s; });
    Permissions::checkScreenAccess(true, false, probe, [&](const ScreenAccessStatus& s) { second = s; });
    ASSERT_TRUE(test::waitUntil([&] { return bool(pending); }));
    test::spin(20);
    EXPECT_EQ(probes, 1);
    EXPECT_FALSE(first || second || lastScreenAccess) << "a prompting check waits for the probe";

    pending(ScreenAccessStatus::denied());
    pending(ScreenAccessStatus::available()); // a second answer changes nothing
    EXPECT_EQ(first, ScreenAccessStatus::denied());
    EXPECT_EQ(second, ScreenAccessStatus::denied());
    EXPECT_EQ(lastScreenAccess, ScreenAccessStatus::denied());

    // Once it has answered, the next prompting check probes again.
    pending = nullptr;
    Permissions::checkScreenAccess(true, false, probe, [&](const ScreenAccessStatus& s) { third = s; });
    ASSERT_TRUE(test::waitUntil([&] { return bool(pending); }));
    pending(ScreenAccessStatus::available());
    EXPECT_EQ(probes, 2);
    EXPECT_EQ(third, ScreenAccessStatus::available());
}

TEST(Permissions, ProbeAnswersFromTheBackendOnceAndInTime)
{
    FakeGrabber grabber;
    const auto probe = [&](QList<ShareableDisplay> displays, std::optional<KestraboError> error) {
        grabber.displays = displays;
        grabber.displaysError = error;
        return answer<ScreenAccessStatus>([&](auto done) { Permissions::probeScreenAccess(grabber, done); });
    };
    const QList<ShareableDisplay> one{{u"screen"_s, u"screen"_s, QRect(0, 0, 10, 10)}};
    EXPECT_EQ(probe({}, {}),
              ScreenAccessStatus::unavailable(
                  u"No display is available for screen capture. Try Refresh permissions again."_s));
    EXPECT_EQ(probe(one, nested(test::accessDenied(), 2)), ScreenAccessStatus::denied());
    EXPECT_EQ(probe(one, KestraboError(ScreenCaptureError::domain, ScreenCaptureError::unreachable, QString())),
              ScreenAccessStatus::unavailable(
                  u"Screen capture is temporarily unavailable. Try Refresh permissions again."_s));
    EXPECT_EQ(probe(one, {}), ScreenAccessStatus::available());

    // A backend that answers after the time-out: the time-out is the answer, and the late
    // "available" is neither returned nor remembered.
    lastScreenAccess.reset();
    grabber.hold = true;
    const Permissions::Probe slowProbe = [&](Permissions::StatusCallback done) {
        Permissions::probeScreenAccess(grabber, std::move(done), std::chrono::milliseconds(30));
    };
    int answers = 0;
    std::optional<ScreenAccessStatus> status;
    Permissions::checkScreenAccess(true, true, slowProbe, [&](const ScreenAccessStatus& s) { status = s, ++answers; });
    ASSERT_TRUE(test::waitUntil([&] { return answers == 1; }));
    EXPECT_EQ(status, ScreenAccessStatus::unavailable(kTimedOut));
    EXPECT_EQ(lastScreenAccess, ScreenAccessStatus::unavailable(kTimedOut));
    ASSERT_TRUE(grabber.holding());
    grabber.release();
    test::spin(50);
    EXPECT_EQ(answers, 1);
    EXPECT_EQ(lastScreenAccess, ScreenAccessStatus::unavailable(kTimedOut));
}

TEST(Permissions, DenialIsFoundAtMostEightErrorsDeep)
{
    for (const auto& [wrappers, denied] : {std::pair{0, true}, {3, true}, {7, true}, {8, false}, {10, false}})
        EXPECT_EQ(Permissions::isScreenAccessDenied(nested(test::accessDenied(), wrappers)), denied) << wrappers;
    EXPECT_FALSE(Permissions::isScreenAccessDenied(
        KestraboError(ScreenCaptureError::domain, ScreenCaptureError::readFailed, u"x"_s)));
    EXPECT_FALSE(
        Permissions::isScreenAccessDenied(KestraboError(u"Other"_s, ScreenCaptureError::accessDenied, u"x"_s)));
}

TEST(Permissions, MicrophoneRequestOpensSettingsOnlyWhenRefused)
{
    const auto request = [](StaticSystemAccess& access) {
        return answer<bool>([&](auto done) { Permissions::requestMicrophone(access, done); });
    };
    StaticSystemAccess allowed, denied, granted;
    EXPECT_EQ(request(allowed), true);
    EXPECT_EQ(allowed.microphoneRequests, 0);
    denied.microphone = denied.microphoneGrant = granted.microphone = false;
    EXPECT_EQ(request(denied), false);
    EXPECT_EQ(denied.openedPanes, QStringList{u"Privacy_Microphone"_s});
    EXPECT_EQ(request(granted), true);
    EXPECT_TRUE(granted.openedPanes.isEmpty());
}

TEST(LinuxSystemAccess, OpensTheDesktopsSettingsOrExplains)
{
    FakeGrabber grabber;
    LinuxSystemAccess access(&grabber);
    QStringList installed{u"gnome-control-center"_s};
    access.findProgram = [&](const QString& program) { return installed.contains(program) ? program : QString(); };
    bool launchWorks = true;
    QStringList launched, explained;
    access.launch = [&](const QString& program, const QStringList&) { return launched.append(program), launchWorks; };
    access.onExplanation = [&](const QString& anchor, const QString&) { explained.append(anchor); };

    // The desktop's own settings; without them, the mixer stands in for the microphone's.
    const QString microphone = u"Privacy_Microphone"_s;
    EXPECT_EQ(access.settingsCommand(microphone, u"ubuntu:GNOME"_s),
              (QStringList{u"gnome-control-center"_s, u"sound"_s}));
    installed = {u"pavucontrol"_s};
    EXPECT_EQ(access.settingsCommand(microphone, u"GNOME"_s), (QStringList{u"pavucontrol"_s, u"--tab=4"_s}));
    qputenv("XDG_CURRENT_DESKTOP", "GNOME");
    access.openPrivacyPane(microphone);
    EXPECT_EQ(launched, QStringList{u"pavucontrol"_s});
    // When nothing can be opened, the island explains instead.
    launchWorks = false;
    access.openPrivacyPane(microphone);
    access.openPrivacyPane(u"Privacy_ScreenCapture"_s);
    EXPECT_EQ(explained, (QStringList{microphone, u"Privacy_ScreenCapture"_s}));

    EXPECT_FALSE(LinuxSystemAccess(nullptr).screenCapturePreflight()) << "no backend, no screen";
}
