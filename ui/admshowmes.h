#pragma once

#include <QDialog>
#include <QString>

class QLabel;
class QPushButton;

// The message window: one short text and an OK button; sizes itself to the text. Created once at program start
// and used for every message. Main thread only.
class Tadvsm : public QDialog {
    Q_OBJECT

public:
    explicit Tadvsm(QWidget* parent = nullptr);

    // Shows the text modally and returns when the operator has closed the window. Timers and other events go on
    // in the nested loop meanwhile.
    void ShowMessageText(const QString& text);

    QLabel* label1 = nullptr;
    QPushButton* BitBtn1 = nullptr;
};
