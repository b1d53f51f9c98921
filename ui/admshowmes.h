#pragma once

#include <QDialog>
#include <QString>

class QLabel;
class QPushButton;

// The message window: one short text and an OK button; it sizes itself to the text. Created once at program
// start and used for every message. Main thread only.
class Tadvsm : public QDialog {
    Q_OBJECT

public:
    static constexpr int kFontPoints = 12;  // F
    static constexpr int kClientHeight = 73;
    static constexpr int kButtonWidth = 72;
    static constexpr int kButtonHeight = 25;
    static constexpr int kButtonTop = 41;
    static constexpr int kLabelLeft = 2;
    static constexpr int kLabelTop = 16;

    explicit Tadvsm(QWidget* parent = nullptr);

    // Shows the text modally and returns when the operator has closed the window (OK, Enter, Escape or the
    // frame). Timers and other events go on in the nested loop meanwhile. When a message is already open (this
    // call comes from that loop), the text is shown in a second window of the same kind, so neither message is
    // lost or cut short.
    void ShowMessageText(const QString& text);

    // Lays the window out for the text without showing it: width L × (F − 2) for L characters, the label at
    // left 2 with that width, the button at left (width − 72) / 2 truncated toward zero (negative for texts
    // under 8 characters), the window centred on the screen. That size is the smallest: where the font needs
    // more than L × (F − 2) − 4 pixels for the text, the window is as wide as the text plus 2 on each side (the
    // label that wide at left 2), and a text taller than the room above the button moves the button down and
    // makes the window taller by as much; no text is ever clipped.
    void SetMessageText(const QString& text);

    // Closes the open message as if OK had been pressed; nothing when none is open.
    void Dismiss();
    bool IsShowing() const { return m_showing; }

    static int WindowWidth(int characters) { return characters * (kFontPoints - 2); }
    static int ButtonLeft(int windowWidth) { return static_cast<int>((windowWidth - kButtonWidth) / 2.0); }

    QLabel* label1 = nullptr;
    QPushButton* BitBtn1 = nullptr;

private:
    bool m_showing = false;
    Tadvsm* m_nested = nullptr;  // the second window while it is open
};
