// This suite runs Qt on the xcb platform against an Xvfb of its own, started before the
// application object because the platform connects while it is built.

#include <QApplication>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Xvfb on a display number it picks and writes to our pipe when ready; empty on failure.
std::string startXvfb(pid_t& pid)
{
    int fds[2];
    if (pipe(fds) != 0)
        return {};
    pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM); // never outlives a crashed test
        close(fds[0]);
        const int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, 1);
        dup2(quiet, 2);
        const std::string fd = std::to_string(fds[1]);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x800x24", "+extension", "Composite",
               "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    std::string number;
    for (pollfd ready{fds[0], POLLIN, 0}; pid > 0 && poll(&ready, 1, 15'000) > 0;) {
        char c = 0;
        if (read(fds[0], &c, 1) != 1 || c == '\n')
            break;
        number += c;
    }
    close(fds[0]);
    return number.empty() ? std::string() : ':' + number;
}

} // namespace

int main(int argc, char** argv)
{
    bool listing = false;
    for (int i = 1; i < argc; ++i)
        listing = listing || std::strncmp(argv[i], "--gtest_list_tests", 18) == 0;
    pid_t xvfb = 0;
    if (listing) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    } else {
        const std::string display = startXvfb(xvfb);
        if (display.empty()) {
            std::fprintf(stderr, "Xvfb did not start\n");
            return 1;
        }
        qputenv("DISPLAY", display.c_str());
        qputenv("QT_QPA_PLATFORM", "xcb");
    }
    qputenv("OPENAI_BASE_URL", "http://127.0.0.1:9/v1");
    unsetenv("WAYLAND_DISPLAY");
    unsetenv("XDG_SESSION_TYPE");
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
