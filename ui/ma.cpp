// The main window as the driver's view: creating and ending the driver, what the driver tells, the port controls.
#include "ui/ma.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QPlainTextEdit>

#include "platform/datetime.h"
#include "ui/admshowmes.h"
#include "ui/indicator.h"
#include "ui/pasx.h"

TForm1::TForm1(Tadvsm* messageWindow, TForm1Options options, QWidget* parent)
    : QMainWindow(parent), m_headless(options.headless), m_messageWindow(messageWindow) {
    BuildUi();
    m_driver = std::make_unique<drv::Driver>(this, std::move(options));
    CommPortDriver1 = m_driver->CommPortDriver1;
    SimpleTCPClient1 = m_driver->SimpleTCPClient1;
    m_driver->Start();
    const drv::DriverState& s = m_driver->State();
    Label15->setText(QString::fromStdString(s.ClosePassword));
    Label13->setVisible(s.settings.SendZ7);
    Image1->setVisible(s.settings.SendZ7);
    if (m_driver->Started()) Label6->setText(QString::fromStdString(drv::FormatDateTime(s.StartTime)));
}

// The driver goes first, while every widget it may still speak to is there.
TForm1::~TForm1() { m_driver.reset(); }

void TForm1::Stop() {
    m_driver->Stop();
    EndEveryEventLoop();
}

void TForm1::EndEveryEventLoop() {
    // Each dismissal ends its own loop; a window that will not go away is left to the loops' end below.
    for (int i = 0; i < 16; ++i) {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr) break;
        if (auto* dialog = qobject_cast<QDialog*>(modal)) {
            dialog->reject();
        } else {
            modal->close();
        }
    }
    QCoreApplication::exit(0);
}

void TForm1::LinkLogLine(const std::string& line, bool toStandardError) {
    Memo1->appendPlainText(QString::fromStdString(line));
    DriverView::LinkLogLine(line, toStandardError);
}

void TForm1::IndicatorStep(Indicator which, bool up, int phase) {
    TImage* image = which == Indicator::Station ? Image2 : which == Indicator::Z8 ? Image3 : Image1;
    DrawIndicator(image, up, phase);
}

void TForm1::ShowMessage(const std::string& text) {
    if (m_headless) return DriverView::ShowMessage(text);
    if (m_messageWindow != nullptr) m_messageWindow->ShowMessageText(QString::fromStdString(text));
}

void TForm1::PortList(const std::vector<std::string>& names, const std::string& textWhenEmpty) {
    AdvOfficeComboBox1->clear();
    for (const std::string& name : names) AdvOfficeComboBox1->addItem(QString::fromStdString(name));
    if (AdvOfficeComboBox1->count() > 0) {
        AdvOfficeComboBox1->setCurrentIndex(0);
    } else {
        AdvOfficeComboBox1->setEditText(QString::fromStdString(textWhenEmpty));
    }
}

void TForm1::PortState(bool running, bool selectFirst) {
    SetPortControlsState(running);
    if (selectFirst) AdvOfficeComboBox1->setCurrentIndex(0);
}

void TForm1::AdvGlowButton1Click() { m_driver->RescanPorts(AdvOfficeComboBox1->currentText().toStdString()); }

void TForm1::AdvOfficeComboBox1Select() { m_driver->SelectPort(AdvOfficeComboBox1->currentText().toStdString()); }

void TForm1::AdvGlowButton2Click() {
    if (m_driver->PortRunning()) {
        const int result = m_passwordDialog != nullptr ? m_passwordDialog->ShowModal() : TForm2::kResultCancel;
        m_driver->StopPort(result == TForm2::kResultOk);
    } else {
        m_driver->StartPort(AdvOfficeComboBox1->currentText().toStdString());
    }
}

void TForm1::RemoteClose() {
    if (m_inFormClose) {
        // A close is asking the operator right now, and a second close() would be swallowed: end the questions
        // instead; FormClose then sees the request and lets the window close.
        if (m_passwordDialog != nullptr && m_passwordDialog->IsShowing()) m_passwordDialog->reject();
        if (m_messageWindow != nullptr) m_messageWindow->Dismiss();
        return;
    }
    close();
}
