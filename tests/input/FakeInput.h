#pragma once

#include <QByteArray>
#include <QPoint>
#include <QRect>

#include <atomic>

struct _XDisplay;

namespace kestrabo::test {

// Keys and pointer driven through XTest on a connection of its own, as a person would: each
// call is exactly one press or one release (or one motion), flushed to the server.
class FakeInput {
public:
    // An empty name means $DISPLAY.
    explicit FakeInput(const QByteArray& display = {});
    ~FakeInput();
    Q_DISABLE_COPY(FakeInput)

    // Keys by key symbol name ("Shift_R", "a", "Escape").
    void press(const char* key);
    void release(const char* key);
    // `delayMs` holds the motion back at the server, as a hand's pace would.
    void moveTo(QPoint position, unsigned long delayMs = 0);
    void button(bool press, unsigned number = 1);

    // A plain window of this connection, focused and listening to its key presses, standing in
    // for the window the user types into.
    quint64 focusedWindow(const QRect& rect);
    int keyPressesReceived();
    quint64 inputFocus();

private:
    void key(const char* name, bool press);

    // Survives its server going away, as the code under test does.
    std::atomic<bool> m_lost{false};
    _XDisplay* m_display;
    quint64 m_window = 0;
    int m_keyPresses = 0;
};

} // namespace kestrabo::test
