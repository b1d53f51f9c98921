#pragma once

#include <QMainWindow>
#include <QString>
#include <memory>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "driver/driverview.h"

class QAction;
class QCloseEvent;
class QComboBox;
class QEvent;
class QGroupBox;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QStackedWidget;
class QSystemTrayIcon;
class QToolButton;

class TImage;
class Tadvsm;
class TForm2;

// The driver's options, as the window's creator sets them.
using TForm1Options = drv::DriverOptions;

// The main window: owns the driver object and shows what it tells (DriverView); its handlers are the driver's
// handlers under the window's names, or pure view code. Main thread only.
class TForm1 : public QMainWindow, public drv::DriverView {
    Q_OBJECT

public:
    // Creating the window creates the driver, which runs startup (FormCreate). messageWindow must outlive the
    // window.
    explicit TForm1(Tadvsm* messageWindow, TForm1Options options = {}, QWidget* parent = nullptr);
    ~TForm1() override;

    // The driver the window shows.
    drv::Driver& Driver() { return *m_driver; }
    const drv::Driver& Driver() const { return *m_driver; }

    // The closing-password dialog, created after the window.
    void SetPasswordDialog(TForm2* dialog) { m_passwordDialog = dialog; }

    // The handlers of the driver under the window's names.
    void FormCreate(QObject* Sender) { m_driver->FormCreate(Sender); }
    void FormDestroy(QObject* Sender) { m_driver->FormDestroy(Sender); }
    void CommPortDriver1ReceivePacket(QObject* Sender, const std::uint8_t* Packet, std::uint32_t DataSize) {
        m_driver->CommPortDriver1ReceivePacket(Sender, Packet, DataSize);
    }
    void Timer2Timer(QObject* Sender) { m_driver->Timer2Timer(Sender); }
    void Timer3Timer() { m_driver->Timer3Timer(); }
    drv::DriverState& State() { return m_driver->State(); }
    const drv::DriverState& State() const { return m_driver->State(); }
    drv::DriverStatus Status(bool withConfiguration = true) const { return m_driver->Status(withConfiguration); }
    bool Headless() const { return m_driver->Headless(); }
    void ShowMessageText(const QString& text) { m_driver->ShowMessageText(text); }
    void AppendLinkLog(const QString& line, bool toStandardError = true) {
        m_driver->AppendLinkLog(line, toStandardError);
    }
    void RequestRemoteClose() { m_driver->RequestRemoteClose(); }
    // Dismisses every modal window, closes the serial port and ends every event loop; see Driver::Stop.
    void Stop();
    // Dismisses every open modal window and ends every running event loop (exit status 0).
    static void EndEveryEventLoop();

    // Port controls (the "Com порт" group): the driver's port state; running is the state the window is created in.
    bool PortControlsRunning() const { return m_driver->PortRunning(); }
    // Rescan (AdvGlowButton1), start or stop behind the closing password by the caption (AdvGlowButton2), and the
    // operator's pick in the list (AdvOfficeComboBox1). Each may show modal windows.
    void AdvGlowButton1Click();
    void AdvGlowButton2Click();
    void AdvOfficeComboBox1Select();

    // Operator window (tray, pages, closing).
    void FormClose(QCloseEvent* event);
    void N4Click();
    void N6Click();
    void ApplicationEvents1Minimize();
    void AdvGlowButton28Click();
    void AdvGlowButton47Click();
    static constexpr int kLinkLogLines = 10000;  // the link log Memo1 keeps the newest this many lines

    // What the driver tells (DriverView).
    void LinkLogLine(const std::string& line, bool toStandardError) override;
    void IndicatorStep(Indicator which, bool up, int phase) override;
    bool ShowsIndicators() const override { return true; }
    void ShowMessage(const std::string& text) override;
    void PortList(const std::vector<std::string>& names, const std::string& textWhenEmpty) override;
    void PortState(bool running, bool selectFirst) override;
    // The Z7 server's close command: closes the window without asking. When a close is asking the operator at that
    // moment, its dialog and message are dismissed so that it ends too.
    void RemoteClose() override;

    // Components of the driver, by their form names.
    TCommPortDriver* CommPortDriver1 = nullptr;
    TSimpleTCPClient* SimpleTCPClient1 = nullptr;

    // Widgets, by their form names.
    QWidget* HeaderBand = nullptr;
    QToolButton* AdvGlowButton28 = nullptr;  // "Состояние"
    QToolButton* AdvGlowButton47 = nullptr;  // "Настройки"
    QStackedWidget* Pages = nullptr;
    QWidget* PageDefault = nullptr;
    QWidget* PageSetup = nullptr;
    QLabel* Label12 = nullptr;
    TImage* Image2 = nullptr;  // station indicator
    QLabel* Label23 = nullptr;
    TImage* Image3 = nullptr;  // Z8 indicator
    QLabel* Label1 = nullptr;
    QLabel* Label6 = nullptr;  // start date and time
    QLabel* Label13 = nullptr;
    TImage* Image1 = nullptr;  // Z7 indicator
    QLabel* Label17 = nullptr;
    QLabel* Label15 = nullptr;  // closing password
    QPlainTextEdit* Memo1 = nullptr;
    QGroupBox* AdvGroupBox1 = nullptr;
    QComboBox* AdvOfficeComboBox1 = nullptr;
    QPushButton* AdvGlowButton2 = nullptr;  // "Запустить" / "Остановить"
    QPushButton* AdvGlowButton1 = nullptr;  // "Сканировать заново"
    QSystemTrayIcon* TrayIcon1 = nullptr;
    QMenu* PopupMenu1 = nullptr;
    QAction* N4 = nullptr;  // "Восстановить"
    QAction* N6 = nullptr;  // "Закрыть"

signals:
    // The window has accepted a close: the program ends.
    void Closed();

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void BuildUi();  // ma_window.cpp
    // Caption and enabled states of the running or the stopped state; selects nothing.
    void SetPortControlsState(bool running);

    const bool m_headless;
    Tadvsm* m_messageWindow = nullptr;
    TForm2* m_passwordDialog = nullptr;
    bool m_inFormClose = false;  // FormClose is asking the operator
    std::unique_ptr<drv::Driver> m_driver;
};
