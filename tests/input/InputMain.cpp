// This suite runs Qt on xcb against an Xvfb of its own, started before the application object
// because the platform connects while it is built. Listing the tests needs no display.

#include <QApplication>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Xvfb writes the display number it picked to our pipe once it is ready.
std::string startXvfb(pid_t& pid)
{
    int fds[2];
    if (pipe(fds) != 0 || (pid = fork()) < 0)
        return {};
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM); // never outlives a crashed test
        const int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, 1);
        dup2(quiet, 2);
        const std::string fd = std::to_string(fds[1]);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x800x24", "+extension", "Composite",
               "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    std::string display = ":";
    char c = 0;
    for (pollfd ready{fds[0], POLLIN, 0}; poll(&ready, 1, 15'000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n';)
        display += c;
    close(fds[0]);
    return display.size() > 1 ? display : std::string();
}

} // namespace

int main(int argc, char** argv)
{
    const bool listing = argc > 1 && std::strncmp(argv[1], "--gtest_list_tests", 18) == 0;
    pid_t xvfb = 0;
    const std::string display = listing ? std::string() : startXvfb(xvfb);
    if (!listing && display.empty())
        return 1;
    qputenv("DISPLAY", display.c_str());
    qputenv("QT_QPA_PLATFORM", listing ? "offscreen" : "xcb");
    qputenv("OPENAI_BASE_URL", "http://127.0.0.1:9/v1"); // nothing reaches a real service
    qunsetenv("WAYLAND_DISPLAY");
    qunsetenv("XDG_SESSION_TYPE");
    int result = 0;
    {
        QApplication app(argc, argv);
        ::testing::InitGoogleTest(&argc, argv);
        result = RUN_ALL_TESTS();
    }
    if (xvfb > 0) {
        kill(xvfb, SIGTERM); // our own child
        waitpid(xvfb, nullptr, 0);
    }
    return result;
}
