#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <algorithm>

#include "tests/ui/uitest.h"
#include "ui/admshowmes.h"
#include "ui/pasx.h"

using uitest::ModalAnswerer;

namespace {

struct Geometry {
    int width = -1, height = -1, buttonLeft = -100, buttonTop = -1, buttonWidth = -1, buttonHeight = -1;
    int labelLeft = -1, labelTop = -1, labelWidth = -1;
    QString text;
};

// Shows the text, and while it is open, takes the window's geometry and presses OK.
Geometry ShowAndMeasure(Tadvsm& w, const QString& text) {
    Geometry g;
    ModalAnswerer answer({[&](QWidget* modal) {
        if (modal != &w) return false;
        g = {w.width(),           w.height(),    w.BitBtn1->x(), w.BitBtn1->y(),    w.BitBtn1->width(),
             w.BitBtn1->height(), w.label1->x(), w.label1->y(),  w.label1->width(), w.label1->text()};
        w.BitBtn1->click();
        return true;
    }});
    w.ShowMessageText(text);
    EXPECT_TRUE(answer.Done());
    EXPECT_FALSE(w.isVisible());
    return g;
}

}  // namespace

// The rule's size (width L × 10, the button centred by truncation) wherever the font leaves the text inside it;
// a wider window, the button centred the same way and lower where needed, wherever the font needs more. Either
// way no text is clipped.
TEST(MessageWindow, SizesItselfToTheTextAtLeastAsTheRuleSaysAndNeverClipsIt) {
    Tadvsm w;
    const struct {
        QString text;
        int width, buttonLeft;  // by the rule
    } cases[] = {
        {QStringLiteral("Порт уже занят!"), 150, 39},
        {QStringLiteral("Неправильный пароль. В доступе отказано"), 390, 159},
        {QStringLiteral("12345678"), 80, 4},
        {QStringLiteral("Порт!"), 50, -11},  // partly outside the window, as computed
        {QStringLiteral("Порт уже занят. Смените его."), 280, 104},
        {QStringLiteral("iiiiiiiiiiii"), 120, 24},
        {QStringLiteral("ШШШШШШШШШШ"), 100, 14},  // wider than 10 pixels a letter in any font at 12 points
    };
    bool grew = false;
    for (const auto& c : cases) {
        const Geometry g = ShowAndMeasure(w, c.text);
        const std::string what = c.text.toStdString();
        const int textWidth = std::max(w.label1->sizeHint().width(), w.label1->fontMetrics().horizontalAdvance(c.text));
        EXPECT_EQ(g.text, c.text);
        EXPECT_EQ(g.labelLeft, 2);
        EXPECT_EQ(g.labelTop, 16);
        EXPECT_EQ(g.buttonWidth, 72);
        EXPECT_EQ(g.buttonHeight, 25);
        if (textWidth + 4 <= c.width) {
            EXPECT_EQ(g.width, c.width) << what;
            EXPECT_EQ(g.height, 73) << what;
            EXPECT_EQ(g.labelWidth, c.width) << what;
            EXPECT_EQ(g.buttonLeft, c.buttonLeft) << what;
            EXPECT_EQ(g.buttonTop, 41) << what;
        } else {
            grew = true;
            EXPECT_EQ(g.width, textWidth + 4) << what;
            EXPECT_EQ(g.labelWidth, g.width - 4) << what;
            EXPECT_EQ(g.buttonLeft, Tadvsm::ButtonLeft(g.width)) << what;
            EXPECT_GE(g.buttonTop, 41) << what;
            EXPECT_EQ(g.height, 73 + g.buttonTop - 41) << what;
        }
        // The centred text lies within the window, and above the button.
        EXPECT_GE(g.labelLeft + (g.labelWidth - textWidth) / 2, 0) << what;
        EXPECT_LE(g.labelLeft + (g.labelWidth + textWidth + 1) / 2, g.width) << what;
        EXPECT_LE(g.labelTop + w.label1->sizeHint().height(), g.buttonTop) << what;
    }
    EXPECT_TRUE(grew);
    EXPECT_EQ(w.windowTitle(), QStringLiteral("advsm"));
    EXPECT_EQ(w.BitBtn1->text(), QStringLiteral("ОК"));
    EXPECT_TRUE(w.label1->font().bold());
    EXPECT_EQ(w.label1->font().pointSize(), 12);
}

TEST(MessageWindow, ClosingByTheFrameReturnsToo) {
    Tadvsm w;
    ModalAnswerer answer({uitest::CloseByFrame()});
    w.ShowMessageText(QStringLiteral("Не правильный пароль."));
    EXPECT_TRUE(answer.Done());
    EXPECT_FALSE(w.IsShowing());
}

// A timer or hand-off that shows a message while another is open: both are seen, the later one on top, and
// the first is still there with its own text when the second has been closed.
TEST(MessageWindow, AMessageWhileAnotherIsOpenLosesNeither) {
    Tadvsm w;
    bool secondReturned = false;
    QString firstTextWhileSecondOpen;
    ModalAnswerer answer({
        [&](QWidget* modal) {
            if (modal != &w) return false;
            QTimer::singleShot(0, &w, [&] {
                w.ShowMessageText(QStringLiteral("Порт уже занят!"));
                secondReturned = true;
            });
            return true;
        },
        [&](QWidget* modal) {
            auto* m = qobject_cast<Tadvsm*>(modal);
            if (m == nullptr || m == &w) return false;
            firstTextWhileSecondOpen = w.label1->text();
            EXPECT_TRUE(w.isVisible());
            EXPECT_GE(m->width(), 150);  // laid out for its own text
            EXPECT_EQ(m->label1->text(), QStringLiteral("Порт уже занят!"));
            m->BitBtn1->click();
            return true;
        },
        uitest::PressMessageOk(),
    });
    w.ShowMessageText(QStringLiteral("Не правильный пароль."));
    EXPECT_TRUE(secondReturned);
    EXPECT_TRUE(answer.Done());
    EXPECT_EQ(answer.Unexpected(), 0);
    ASSERT_EQ(answer.Seen().size(), 3u);
    EXPECT_EQ(answer.Seen()[1], "Tadvsm: Порт уже занят!");
    EXPECT_EQ(answer.Seen()[2], "Tadvsm: Не правильный пароль.");
    EXPECT_EQ(firstTextWhileSecondOpen, QStringLiteral("Не правильный пароль."));
}

class PasswordDialog : public ::testing::Test {
protected:
    std::string password = "52731";
    TForm2 dialog{[this] { return password; }};

    int Ask(ModalAnswerer::Action action) {
        ModalAnswerer answer({std::move(action)});
        const int r = dialog.ShowModal();
        EXPECT_TRUE(answer.Done());
        EXPECT_EQ(answer.Unexpected(), 0);
        EXPECT_FALSE(dialog.isVisible());
        return r;
    }
};

TEST_F(PasswordDialog, ResultsForRightWrongShortCancelAndFrame) {
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Закрытый доступ"));
    EXPECT_EQ(dialog.size(), QSize(281, 93));
    EXPECT_EQ(Ask(uitest::EnterPassword(QStringLiteral("52731"))), TForm2::kResultOk);
    EXPECT_EQ(Ask(uitest::EnterPassword(QStringLiteral("52730"))), TForm2::kResultWrong);
    EXPECT_EQ(Ask(uitest::EnterPassword(QStringLiteral("5273"))), TForm2::kResultWrong);
    EXPECT_EQ(Ask(uitest::EnterPassword(QString())), TForm2::kResultWrong);
    EXPECT_EQ(Ask(uitest::PressCancel()), TForm2::kResultCancel);
    EXPECT_EQ(Ask(uitest::CloseByFrame()), TForm2::kResultCancel);
    // The password is asked afresh at every OK.
    password = "10000";
    EXPECT_EQ(Ask(uitest::EnterPassword(QStringLiteral("52731"))), TForm2::kResultWrong);
    EXPECT_EQ(Ask(uitest::EnterPassword(QStringLiteral("10000"))), TForm2::kResultOk);
}

TEST_F(PasswordDialog, AnEmptyPasswordNeverOpens) {
    password.clear();
    EXPECT_EQ(Ask(uitest::EnterPassword(QString())), TForm2::kResultWrong);
}

TEST_F(PasswordDialog, TakesUpToFiveDigitsShownAsAsterisks) {
    auto type = [&](int key, const QString& text) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
        QApplication::sendEvent(dialog.MaskEdit1, &press);
    };
    type(Qt::Key_4, QStringLiteral("4"));
    type(Qt::Key_A, QStringLiteral("a"));
    type(Qt::Key_Minus, QStringLiteral("-"));
    for (const char* d : {"2", "7", "3", "1", "9"}) type(Qt::Key_0 + (d[0] - '0'), QString::fromLatin1(d));
    EXPECT_EQ(dialog.MaskEdit1->text(), QStringLiteral("42731"));
    EXPECT_EQ(dialog.MaskEdit1->displayText(), QStringLiteral("*****"));
}

TEST_F(PasswordDialog, KeepsTheEditBetweenUsesSelectedAndFocusedOnEachShow) {
    EXPECT_EQ(Ask(uitest::EnterPassword(QStringLiteral("111"))), TForm2::kResultWrong);
    QString textOnShow, selectedOnShow;
    QWidget* focusOnShow = nullptr;
    EXPECT_EQ(Ask([&](QWidget* w) {
                  if (w != &dialog) return false;
                  textOnShow = dialog.MaskEdit1->text();
                  selectedOnShow = dialog.MaskEdit1->selectedText();
                  focusOnShow = dialog.focusWidget();
                  dialog.BitBtn2->click();
                  return true;
              }),
              TForm2::kResultCancel);
    EXPECT_EQ(textOnShow, QStringLiteral("111"));
    EXPECT_EQ(selectedOnShow, QStringLiteral("111"));
    EXPECT_EQ(focusOnShow, dialog.MaskEdit1);
}

TEST_F(PasswordDialog, AskingWhileOpenDoesNotOpenItTwice) {
    int nestedResult = 0;
    EXPECT_EQ(Ask([&](QWidget* w) {
                  if (w != &dialog) return false;
                  nestedResult = dialog.ShowModal();  // returns at once
                  EXPECT_TRUE(dialog.isVisible());
                  dialog.MaskEdit1->setText(QStringLiteral("52731"));
                  dialog.BitBtn1->click();
                  return true;
              }),
              TForm2::kResultOk);
    EXPECT_EQ(nestedResult, TForm2::kResultCancel);
}
