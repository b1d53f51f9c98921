// The "Com порт" controls of the main window: which text each control hands to the driver, the closing password
// before a stop, the driver's messages as modal windows, and captions and enabled states that follow the port.
// Pseudo-terminals mapped in [ports] stand for the ports; a loopback Z8 server receives the port status reports.
// What the driver does with the port is tested in tests/driver.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <filesystem>
#include <map>
#include <memory>

#include "platform/inifile.h"
#include "serial/CPDrv.h"
#include "tests/support/pty.h"
#include "tests/support/tempdir.h"
#include "tests/ui/uitest.h"
#include "ui/admshowmes.h"
#include "ui/ma.h"
#include "ui/pasx.h"
#include "z8link/z8server.h"

using drvtest::Pty;
using uitest::ModalAnswerer;
using uitest::PumpUntil;

namespace {

using Seen = std::vector<std::string>;

class PortControls : public ::testing::Test {
protected:
    drvtest::TempDir dir;
    Tadvsm messages;
    std::unique_ptr<drv::z8::Z8Server> server;
    std::unique_ptr<TForm1> form;
    std::unique_ptr<TForm2> dialog;

    // Starts the driver with a Z8 server and waits for its handshake; startupAnswers answer startup's messages.
    void Start(const std::string& main, const std::map<int, std::string>& ports = {},
               std::vector<ModalAnswerer::Action> startupAnswers = {}) {
        server = std::make_unique<drv::z8::Z8Server>();
        server->SetBehaviour({.ackEvents = true});
        dir.write("drvorvel.ini", "[main]\n" + main + "\n[ServerHost]\nAddress=127.0.0.1\nPort=" +
                                      std::to_string(server->Port()) + "\n" + drvtest::PortsSection(ports, dir.file("absent")));
        TForm1Options options;
        options.workingDirectory = dir.path();
        options.randomSeed = 4242;
        options.portReopenIntervalMs = 20;
        ModalAnswerer answer(std::move(startupAnswers));
        form = std::make_unique<TForm1>(&messages, options);
        EXPECT_TRUE(answer.Done());
        EXPECT_EQ(answer.Unexpected(), 0);
        dialog = std::make_unique<TForm2>([f = form.get()] { return f->State().ClosePassword; });
        form->SetPasswordDialog(dialog.get());
        ASSERT_TRUE(PumpUntil([&] { return server->Frames().size() >= 4; }));
    }

    // Runs fn and answers the modal windows it opens with the actions; returns what was shown.
    Seen Answer(std::vector<ModalAnswerer::Action> actions, const std::function<void()>& fn) {
        ModalAnswerer answer(std::move(actions));
        fn();
        EXPECT_TRUE(answer.Done());
        EXPECT_EQ(answer.Unexpected(), 0);
        return answer.Seen();
    }

    QString Password() const { return QString::fromStdString(form->State().ClosePassword); }
    QString WrongPassword() const { return Password() == "10000" ? QStringLiteral("10001") : QStringLiteral("10000"); }

    // How many port status reports the server got after the handshake.
    std::size_t Reports() const {
        std::size_t n = 0;
        for (const auto& f : server->Frames()) n += f.packet && f.packet->code == drv::z8::kPortStatus && f.index != 1;
        return n;
    }

    std::vector<std::string> ListItems() const {
        std::vector<std::string> items;
        for (int i = 0; i < form->AdvOfficeComboBox1->count(); ++i)
            items.push_back(form->AdvOfficeComboBox1->itemText(i).toStdString());
        return items;
    }
    std::string StoredComPort() const {
        return drv::IniFile(dir.file("drvorvel.ini")).ReadString("main", "ComPort", "");
    }

    void ExpectRunning(bool running) const {
        EXPECT_EQ(form->AdvGlowButton2->text(), running ? QStringLiteral("Остановить") : QStringLiteral("Запустить"));
        EXPECT_EQ(form->AdvGlowButton1->isEnabled(), !running);
        EXPECT_EQ(form->AdvOfficeComboBox1->isEnabled(), !running);
    }
};

}  // namespace

// The rescan fills the list and selects its first entry; a pick in the list is stored; a start takes the field's
// text and shows the running state; a stop asks for the closing password, and only the right one stops; a port
// that does not open is said in a modal message and the list is filled anew.
TEST_F(PortControls, EachControlHandsTheFieldsTextOverAndShowsTheOutcome) {
    Pty com2, com7;
    Start("", {{2, com2.path}, {7, com7.path}});
    EXPECT_EQ(Answer({}, [&] { form->AdvGlowButton1->click(); }), Seen{});
    EXPECT_EQ(ListItems(), (std::vector<std::string>{"COM2", "COM7"}));
    EXPECT_EQ(form->AdvOfficeComboBox1->currentText(), QStringLiteral("COM2"));
    ExpectRunning(false);
    form->AdvOfficeComboBox1->setCurrentIndex(1);
    form->AdvOfficeComboBox1Select();
    EXPECT_EQ(StoredComPort(), "COM7");

    form->AdvOfficeComboBox1->setEditText(QStringLiteral("COM2"));
    EXPECT_EQ(Answer({}, [&] { form->AdvGlowButton2->click(); }), Seen{});
    EXPECT_EQ(form->CommPortDriver1->PortName(), "\\\\.\\COM2");
    ExpectRunning(true);
    for (auto answer : {uitest::EnterPassword(WrongPassword()), uitest::PressCancel()}) {
        EXPECT_EQ(Answer({answer, uitest::PressMessageOk()}, [&] { form->AdvGlowButton2->click(); }),
                  (Seen{"TForm2", "Tadvsm: Неправильный пароль. В доступе отказано"}));
        EXPECT_TRUE(form->CommPortDriver1->IsPortOpen());
        ExpectRunning(true);
    }
    EXPECT_EQ(Answer({uitest::EnterPassword(Password())}, [&] { form->AdvGlowButton2->click(); }), Seen{"TForm2"});
    EXPECT_FALSE(form->CommPortDriver1->IsPortOpen());
    ExpectRunning(false);

    form->AdvOfficeComboBox1->clear();
    form->AdvOfficeComboBox1->setEditText(QStringLiteral("COM9"));  // no device
    EXPECT_EQ(Answer({uitest::PressMessageOk()}, [&] { form->AdvGlowButton2->click(); }),
              Seen{"Tadvsm: Порт уже занят!"});
    ExpectRunning(false);
    EXPECT_EQ(ListItems(), (std::vector<std::string>{"COM2", "COM7"}));
}

// Enter in the editable field stores nothing, lists nothing and reports nothing, for an item's text and a typed one.
TEST_F(PortControls, EnterInTheEditableFieldDoesNothing) {
    Pty com2;
    Start("ComPort=COM255", {{2, com2.path}});
    form->AdvGlowButton1Click();
    ASSERT_TRUE(PumpUntil([&] { return Reports() == 1; }));
    ASSERT_TRUE(drv::IniFile::WriteString(dir.file("drvorvel.ini"), "main", "ComPort", "COM255"));
    form->AdvOfficeComboBox1->setEditText(QStringLiteral("COM2"));  // the text of an item: Enter still stores nothing
    QLineEdit* field = form->AdvOfficeComboBox1->lineEdit();
    for (int key : {Qt::Key_Return, Qt::Key_Enter}) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QApplication::sendEvent(field, &press);
    }
    form->AdvOfficeComboBox1->setEditText(QStringLiteral("Порт-Ω9"));
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(field, &press);
    EXPECT_EQ(ListItems(), std::vector<std::string>{"COM2"});
    EXPECT_EQ(StoredComPort(), "COM255");
    uitest::Drain();
    EXPECT_EQ(Reports(), 1u);
}

// The controls follow a change the operator did not make: a port missing at startup that opens when its device
// comes shows the running state.
TEST_F(PortControls, TheControlsFollowAPortThatOpensByItself) {
    const std::string link = dir.file("adapter");
    Start("ComPort=COM3", {{3, link}}, {uitest::PressMessageOk()});
    ExpectRunning(false);
    Pty late;
    std::filesystem::create_symlink(late.path, link);
    ASSERT_TRUE(PumpUntil([&] { return form->CommPortDriver1->IsPortOpen(); }));
    ExpectRunning(true);
}
