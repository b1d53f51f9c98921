#pragma once

#include <QDialog>
#include <functional>
#include <string>

class QLineEdit;
class QPushButton;

// The closing-password dialog "Закрытый доступ". Results: 1 for the right password, 4 for a wrong one, 2 for
// Cancel; closing it by the frame or with Escape counts as Cancel. Created once at program start; the edit
// keeps its content between uses. Main thread only.
class TForm2 : public QDialog {
    Q_OBJECT

public:
    static constexpr int kResultOk = 1;
    static constexpr int kResultCancel = 2;
    static constexpr int kResultWrong = 4;

    // password gives the current closing password each time OK is pressed.
    explicit TForm2(std::function<std::string()> password, QWidget* parent = nullptr);

    // Shows the dialog modally and returns its result. Timers and other events go on meanwhile. A call while
    // the dialog is already open (from its own nested loop) does not open it twice: it brings the open one to
    // the front and returns Cancel at once.
    int ShowModal();
    bool IsShowing() const { return m_showing; }

    // Selects the whole edit, gives it the focus and repaints it; runs whenever the dialog is shown or activated.
    void FormActivate();
    // OK: 1 when the edit holds exactly the closing password, else 4 (always 4 while the password is empty);
    // either closes the dialog.
    void BitBtn1Click();

    void reject() override;

    QLineEdit* MaskEdit1 = nullptr;  // up to five digits, each shown as "*"
    QPushButton* BitBtn1 = nullptr;  // "ОК"
    QPushButton* BitBtn2 = nullptr;  // "Отмена"

protected:
    bool event(QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    std::function<std::string()> m_password;
    bool m_showing = false;
};
