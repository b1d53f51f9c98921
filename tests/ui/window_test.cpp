#include <gtest/gtest.h>
#include <unistd.h>

#include <QAction>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QTextBlock>
#include <QTimer>
#include <QToolButton>
#include <memory>

#include "ui/ma.h"
#include "platform/uniquefd.h"
#include "serial/CPDrv.h"
#include "tests/support/pty.h"
#include "tests/support/tempdir.h"
#include "tests/ui/uitest.h"
#include "ui/admshowmes.h"
#include "ui/indicator.h"
#include "ui/pasx.h"

using uitest::ModalAnswerer;

namespace {

using drvtest::Pty;

class MainWindow : public ::testing::Test {
protected:
    drvtest::TempDir dir;
    Tadvsm messages;
    std::unique_ptr<TForm1> form;
    std::unique_ptr<TForm2> dialog;
    int closed = 0;

    // Creates the window (running startup) in a working directory with this drvorvel.ini; the Z8 link is left
    // out unless the INI asks for it. startupAnswers answer the modal windows that startup shows.
    void Start(const std::string& ini = "[main]\nSendZ8=0\n", std::vector<ModalAnswerer::Action> startupAnswers = {}) {
        dir.write("drvorvel.ini", ini);
        TForm1Options options;
        options.workingDirectory = dir.path();
        options.randomSeed = 12345;
        ModalAnswerer answer(std::move(startupAnswers));
        form = std::make_unique<TForm1>(&messages, options);
        startupSeen = answer.Seen();
        EXPECT_EQ(answer.Unexpected(), 0);
        EXPECT_TRUE(answer.Done());
        dialog = std::make_unique<TForm2>([f = form.get()] { return f->State().ClosePassword; });
        form->SetPasswordDialog(dialog.get());
        QObject::connect(form.get(), &TForm1::Closed, [this] { ++closed; });
        form->show();
    }

    QString Password() const { return QString::fromStdString(form->State().ClosePassword); }

    // Asks the window to close and answers its questions; returns what was asked.
    std::vector<std::string> Close(std::vector<ModalAnswerer::Action> answers, void (TForm1::*how)() = nullptr) {
        ModalAnswerer answer(std::move(answers));
        if (how != nullptr) {
            (form.get()->*how)();
        } else {
            form->close();
        }
        EXPECT_TRUE(answer.Done());
        EXPECT_EQ(answer.Unexpected(), 0);
        return answer.Seen();
    }

    std::vector<std::string> startupSeen;
};

using Seen = std::vector<std::string>;

}  // namespace

TEST_F(MainWindow, FixedSizeCaptionAndEveryElementOfPageDefaultInPlace) {
    Start();
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Драйвер Орвел"));
    EXPECT_EQ(form->size(), QSize(447, 331));
    EXPECT_EQ(form->minimumSize(), form->maximumSize());
    EXPECT_EQ(form->Pages->geometry(), QRect(0, 138, 447, 193));
    EXPECT_EQ(form->Pages->currentWidget(), form->PageDefault);
    EXPECT_TRUE(form->AdvGlowButton28->isChecked());
    EXPECT_FALSE(form->AdvGlowButton47->isChecked());
    EXPECT_EQ(form->AdvGlowButton28->text(), QStringLiteral("Состояние"));
    EXPECT_EQ(form->AdvGlowButton47->text(), QStringLiteral("Настройки"));

    const struct {
        QWidget* widget;
        QPoint pos;
        QString text;
    } elements[] = {
        {form->Label12, {8, 10}, QStringLiteral("Контроль связи со станцией")},
        {form->Image2, {176, 8}, {}},
        {form->Label23, {256, 10}, QStringLiteral("Связь с сервером сообщений")},
        {form->Image3, {416, 8}, {}},
        {form->Label1, {7, 37}, QStringLiteral("Дата и время запуска")},
        {form->Label6, {124, 37}, {}},
        {form->Label13, {256, 37}, QStringLiteral("Связь с сервером сообщений")},
        {form->Image1, {416, 35}, {}},
        {form->Label17, {7, 65}, QStringLiteral("Пароль для закрытия")},
        {form->Label15, {124, 65}, {}},
        {form->Memo1, {7, 84}, {}},
    };
    for (const auto& e : elements) {
        EXPECT_EQ(e.widget->parentWidget(), form->PageDefault);
        EXPECT_EQ(e.widget->pos(), e.pos) << e.text.toStdString();
        if (auto* l = qobject_cast<QLabel*>(e.widget); l != nullptr && !e.text.isEmpty()) {
            EXPECT_EQ(l->text(), e.text);
        }
    }
    for (TImage* image : {form->Image1, form->Image2, form->Image3}) EXPECT_EQ(image->size(), QSize(16, 16));
    EXPECT_EQ(form->Label1->width(), 111);
    EXPECT_TRUE(form->Label1->alignment() & Qt::AlignRight);
    EXPECT_EQ(form->Memo1->size(), QSize(432, 100));
    EXPECT_EQ(form->Label15->text(), Password());
    EXPECT_EQ(form->Label6->text(), QString::fromStdString(drv::FormatDateTime(form->State().StartTime)));

    // Every caption is whole: none is wider than its room before the next element.
    EXPECT_LE(form->Label12->fontMetrics().horizontalAdvance(form->Label12->text()), 176 - 8);
    EXPECT_LE(form->Label23->fontMetrics().horizontalAdvance(form->Label23->text()), 416 - 256);
    EXPECT_LE(form->Label1->fontMetrics().horizontalAdvance(form->Label1->text()), 111);
    EXPECT_LE(form->Label17->fontMetrics().horizontalAdvance(form->Label17->text()), 124 - 7);

    EXPECT_EQ(form->AdvGroupBox1->title(), QStringLiteral("Com порт"));
    EXPECT_EQ(form->AdvGroupBox1->parentWidget(), form->PageSetup);
    EXPECT_EQ(form->AdvGlowButton1->text(), QStringLiteral("Сканировать заново"));
    EXPECT_TRUE(form->AdvOfficeComboBox1->isEditable());
}

TEST_F(MainWindow, Z7IndicatorAndCaptionOnlyWithSendZ7) {
    Start();
    EXPECT_TRUE(form->Label13->isHidden());
    EXPECT_TRUE(form->Image1->isHidden());
    EXPECT_FALSE(form->Label23->isHidden());

    form.reset();
    Start("[main]\nSendZ8=0\nSendZ7=1\n");
    EXPECT_TRUE(form->Label13->isVisible());
    EXPECT_TRUE(form->Image1->isVisible());
    EXPECT_FALSE(form->Image1->Drawn());  // nothing until the Z7 link first draws it
    EXPECT_FALSE(form->Image2->Drawn());
}

// Each indicator step of the driver is drawn on its own picture: the station on Image2, the Z8 link on Image3, the
// Z7 link on Image1.
TEST_F(MainWindow, EachIndicatorStepIsDrawnOnItsPicture) {
    Start();
    using Indicator = drv::DriverView::Indicator;
    const struct {
        Indicator which;
        TImage* image;
        bool up;
        int phase;
    } steps[] = {{Indicator::Station, form->Image2, true, 4},
                 {Indicator::Z8, form->Image3, false, 11},
                 {Indicator::Z7, form->Image1, true, 16}};
    for (const auto& step : steps) {
        form->IndicatorStep(step.which, step.up, step.phase);
        QImage expected(16, 16, QImage::Format_RGB32);
        DrawIndicator(expected, step.up, step.phase);
        EXPECT_TRUE(step.image->Drawn());
        EXPECT_EQ(step.image->Picture(), expected) << static_cast<int>(step.which);
    }
}

TEST_F(MainWindow, PortControlsStartStoppedWithoutAPortAndAfterAFailedOpen) {
    Start();
    EXPECT_TRUE(startupSeen.empty());
    EXPECT_FALSE(form->PortControlsRunning());
    EXPECT_EQ(form->AdvGlowButton2->text(), QStringLiteral("Запустить"));
    EXPECT_TRUE(form->AdvGlowButton1->isEnabled());
    EXPECT_TRUE(form->AdvOfficeComboBox1->isEnabled());

    form.reset();
    Start("[main]\nSendZ8=0\nComPort=COM7\n[ports]\nCOM7=" + dir.path() + "/no-such-device\n",
          {uitest::PressMessageOk()});
    EXPECT_EQ(startupSeen, Seen{"Tadvsm: Порт уже занят. Смените его."});
    EXPECT_FALSE(form->PortControlsRunning());
    EXPECT_TRUE(form->AdvGlowButton1->isEnabled());
}

TEST_F(MainWindow, PagesSwitchWithExactlyOneButtonPressed) {
    Start();
    form->AdvGlowButton47->click();
    EXPECT_EQ(form->Pages->currentWidget(), form->PageSetup);
    EXPECT_TRUE(form->AdvGlowButton47->isChecked());
    EXPECT_FALSE(form->AdvGlowButton28->isChecked());
    form->AdvGlowButton47->click();  // pressing the pressed one keeps it pressed
    EXPECT_EQ(form->Pages->currentWidget(), form->PageSetup);
    EXPECT_TRUE(form->AdvGlowButton47->isChecked());
    EXPECT_FALSE(form->AdvGlowButton28->isChecked());
    form->AdvGlowButton28->click();
    EXPECT_EQ(form->Pages->currentWidget(), form->PageDefault);
    EXPECT_TRUE(form->AdvGlowButton28->isChecked());
    EXPECT_FALSE(form->AdvGlowButton47->isChecked());
}

TEST_F(MainWindow, LinkLogAppendsEveryLineAsGivenAndKeepsTheNewest10000) {
    Start();
    EXPECT_TRUE(form->Memo1->isReadOnly());
    EXPECT_TRUE(form->Memo1->toPlainText().isEmpty());
    form->AppendLinkLog(QStringLiteral("14.03.2025 9:26:53 Соединение..."));
    form->AppendLinkLog(QStringLiteral("14.03.2025 9:26:53 Соединение установлено."));
    EXPECT_EQ(form->Memo1->toPlainText(),
              QStringLiteral("14.03.2025 9:26:53 Соединение...\n14.03.2025 9:26:53 Соединение установлено."));
    for (int i = 0; i < 10003; ++i) form->AppendLinkLog(QString::number(i));
    EXPECT_EQ(form->Memo1->blockCount(), 10000);
    EXPECT_EQ(form->Memo1->document()->firstBlock().text(), QStringLiteral("3"));
    EXPECT_EQ(form->Memo1->document()->lastBlock().text(), QStringLiteral("10002"));
}

TEST_F(MainWindow, TrayIconHasTheHintAndTheMenu) {
    Start();
    EXPECT_EQ(form->TrayIcon1->toolTip(), QStringLiteral("Драйвер Орвел"));
    EXPECT_FALSE(form->TrayIcon1->icon().isNull());
    const auto actions = form->PopupMenu1->actions();
    ASSERT_EQ(actions.size(), 3);
    EXPECT_EQ(actions[0]->text(), QStringLiteral("Восстановить"));
    EXPECT_TRUE(actions[1]->isSeparator());
    EXPECT_EQ(actions[2]->text(), QStringLiteral("Закрыть"));
    EXPECT_EQ(form->TrayIcon1->contextMenu(), form->PopupMenu1);
}

// The offscreen platform has no system tray, like a bare X server or a desktop without one.
TEST_F(MainWindow, MinimisingWithoutATrayNeverHidesTheWindow) {
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
    Start();
    form->showMinimized();
    uitest::Drain();  // the minimise handling runs from the loop
    EXPECT_TRUE(form->isVisible());
    form->ApplicationEvents1Minimize();
    EXPECT_TRUE(form->isVisible());
}

TEST_F(MainWindow, RestoreBringsBackTheWindowOnThePageLastShown) {
    Start();
    form->AdvGlowButton47->click();
    form->showMinimized();
    uitest::Drain();
    form->hide();  // as it is in the tray
    form->N4->trigger();
    EXPECT_TRUE(form->isVisible());
    EXPECT_FALSE(form->isMinimized());
    EXPECT_EQ(form->Pages->currentWidget(), form->PageSetup);
    EXPECT_TRUE(form->AdvGlowButton47->isChecked());
}

TEST_F(MainWindow, CloseWithTheRightPasswordEndsTheRun) {
    Start();
    EXPECT_EQ(Close({uitest::EnterPassword(Password())}), Seen{"TForm2"});
    EXPECT_EQ(closed, 1);
    EXPECT_FALSE(form->isVisible());
}

TEST_F(MainWindow, CloseWithAWrongPasswordSaysSoAndKeepsRunning) {
    Start();
    const QString wrong = Password() == QStringLiteral("10000") ? QStringLiteral("10001") : QStringLiteral("10000");
    EXPECT_EQ(Close({uitest::EnterPassword(wrong), uitest::PressMessageOk()}),
              (Seen{"TForm2", "Tadvsm: Не правильный пароль."}));
    EXPECT_EQ(closed, 0);
    EXPECT_TRUE(form->isVisible());
}

TEST_F(MainWindow, CloseCancelledOrDialogClosedByItsFrameChangesNothingAndShowsNothing) {
    Start();
    EXPECT_EQ(Close({uitest::PressCancel()}), Seen{"TForm2"});
    EXPECT_EQ(Close({uitest::CloseByFrame()}), Seen{"TForm2"});
    EXPECT_EQ(closed, 0);
    EXPECT_TRUE(form->isVisible());
    // The tray's "Закрыть" asks the same question.
    EXPECT_EQ(Close({uitest::PressCancel()}, &TForm1::N6Click), Seen{"TForm2"});
    EXPECT_EQ(closed, 0);
    // A later close still works.
    EXPECT_EQ(Close({uitest::EnterPassword(Password())}), Seen{"TForm2"});
    EXPECT_EQ(closed, 1);
}

TEST_F(MainWindow, RightPasswordClosesTheOpenPortFirst) {
    Pty pty;
    ASSERT_FALSE(pty.path.empty());
    Start("[main]\nSendZ8=0\nComPort=COM3\n[ports]\nCOM3=" + pty.path + "\n");
    ASSERT_TRUE(startupSeen.empty());
    ASSERT_TRUE(form->CommPortDriver1->IsPortOpen());
    EXPECT_TRUE(form->PortControlsRunning());
    EXPECT_EQ(Close({uitest::PressCancel()}), Seen{"TForm2"});
    EXPECT_TRUE(form->CommPortDriver1->IsPortOpen());
    EXPECT_EQ(Close({uitest::EnterPassword(Password())}), Seen{"TForm2"});
    EXPECT_FALSE(form->CommPortDriver1->IsPortOpen());
    EXPECT_EQ(closed, 1);
}

TEST_F(MainWindow, RemoteCloseAsksNothingAndClosesThePort) {
    Pty pty;
    ASSERT_FALSE(pty.path.empty());
    Start("[main]\nSendZ8=0\nComPort=COM3\n[ports]\nCOM3=" + pty.path + "\n");
    ASSERT_TRUE(form->CommPortDriver1->IsPortOpen());
    EXPECT_EQ(Close({}, &TForm1::RequestRemoteClose), Seen{});
    EXPECT_TRUE(form->State().RemoteCloseRequested);
    EXPECT_FALSE(form->CommPortDriver1->IsPortOpen());
    EXPECT_EQ(closed, 1);
    EXPECT_FALSE(form->isVisible());
}

TEST_F(MainWindow, RemoteCloseByTheFlagAndAnOrdinaryCloseAsksNothingEvenWithoutAPort) {
    Start();
    form->State().RemoteCloseRequested = true;
    EXPECT_EQ(Close({}), Seen{});
    EXPECT_EQ(closed, 1);
}

// The close command arriving while the operator is being asked for the password (or told it was wrong) must
// still end the program: the question is dismissed rather than the command lost.
TEST_F(MainWindow, RemoteCloseWhileTheOperatorIsAskedStillEndsTheRun) {
    Start();
    auto remoteCloseFrom = [this](const char* className) {
        return [this, className](QWidget* w) {
            if (std::string(w->metaObject()->className()) != className) return false;
            QTimer::singleShot(0, form.get(), [this] { form->RequestRemoteClose(); });
            return true;
        };
    };
    EXPECT_EQ(Close({remoteCloseFrom("TForm2")}), Seen{"TForm2"});
    EXPECT_EQ(closed, 1);
    EXPECT_FALSE(form->isVisible());
    EXPECT_FALSE(dialog->isVisible());
}

TEST_F(MainWindow, RemoteCloseWhileTheWrongPasswordMessageIsOpenStillEndsTheRun) {
    Start();
    const QString wrong = Password() == QStringLiteral("10000") ? QStringLiteral("10001") : QStringLiteral("10000");
    EXPECT_EQ(Close({uitest::EnterPassword(wrong),
                     [this](QWidget* w) {
                         if (qobject_cast<Tadvsm*>(w) == nullptr) return false;
                         QTimer::singleShot(0, form.get(), [this] { form->RequestRemoteClose(); });
                         return true;
                     }}),
              (Seen{"TForm2", "Tadvsm: Не правильный пароль."}));
    EXPECT_EQ(closed, 1);
    EXPECT_FALSE(messages.isVisible());
}
