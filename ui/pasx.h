#pragma once

#include <QDialog>
#include <functional>
#include <string>

class QLineEdit;
class QPushButton;

// The closing-password dialog. Results: 1 for the right password, 4 for a wrong one, 2 for Cancel (closing by
// the frame counts as Cancel). Created once; the edit keeps its content between uses. Main thread only.
class TForm2 : public QDialog {
    Q_OBJECT

public:
    static constexpr int kResultOk = 1;
    static constexpr int kResultCancel = 2;
    static constexpr int kResultWrong = 4;

    // password gives the current closing password each time OK is pressed.
    explicit TForm2(std::function<std::string()> password, QWidget* parent = nullptr);

    // Shows the dialog modally and returns its result.
    int ShowModal();

    void FormActivate();
    void BitBtn1Click();

    QLineEdit* MaskEdit1 = nullptr;
    QPushButton* BitBtn1 = nullptr;
    QPushButton* BitBtn2 = nullptr;

private:
    std::function<std::string()> m_password;
};
