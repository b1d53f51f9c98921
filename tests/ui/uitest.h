#pragma once

#include <QString>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <string>
#include <vector>

namespace uitest {

// The application object of a widget test: created before the first test and destroyed after the last
// (registered as a gtest environment by uitest.cpp).

// Answers the modal windows that a test opens, in order. Every few milliseconds it looks at the active modal
// window and hands it to the next action; an action that returns false is tried again on the next look (the
// window was not the one it waits for yet). Once the actions run out, any further modal window is rejected and
// counted as unexpected, so no test can hang on a window it did not expect.
class ModalAnswerer {
public:
    using Action = std::function<bool(QWidget* modal)>;

    explicit ModalAnswerer(std::vector<Action> actions = {});
    ~ModalAnswerer();

    // What each answered window was: "TForm2", or "Tadvsm: <its text>".
    const std::vector<std::string>& Seen() const { return m_seen; }
    int Unexpected() const { return m_unexpected; }
    bool Done() const { return m_next == m_actions.size(); }

private:
    void Look();

    std::vector<Action> m_actions;
    std::size_t m_next = 0;
    std::vector<std::string> m_seen;
    int m_unexpected = 0;
    QTimer m_timer;
};

// Actions for the two dialogs.
ModalAnswerer::Action EnterPassword(const QString& text);  // types into the password dialog and presses OK
ModalAnswerer::Action PressCancel();                       // presses "Отмена"
ModalAnswerer::Action CloseByFrame();                      // closes the window as its frame's close box does
ModalAnswerer::Action PressMessageOk();                    // presses "ОК" in the message window

// Runs the event loop until cond holds (true) or 20 s have passed (false).
bool PumpUntil(const std::function<bool()>& cond);
// Runs the event loop until everything posted before this call has been delivered.
void Drain();

}  // namespace uitest
