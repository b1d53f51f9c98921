// Startup, shutdown and the error log of the main window.
#include "core/ma.h"

#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>

#include "core/driverfiles.h"
#include "core/spoolindex.h"
#include "core/spoolrescue.h"
#include "platform/faults.h"
#include "platform/inifile.h"
#include "serial/CPDrv.h"
#include "ui/admshowmes.h"
#include "ui/indicator.h"
#include "z7link/SimpleTCP.h"

namespace {
constexpr const char* kPortBusyText = "Порт уже занят. Смените его.";
}

TForm1::TForm1(Tadvsm* messageWindow, TForm1Options options, QWidget* parent)
    : QMainWindow(parent), m_options(std::move(options)), m_messageWindow(messageWindow) {
    BuildUi();
    CreateSerialComponent();
    CreateZ7Client();
    FormCreate(this);
}

TForm1::~TForm1() { FormDestroy(this); }

drv::TDateTime TForm1::NowTime() const { return m_options.now ? m_options.now() : drv::Now(); }

std::int64_t TForm1::MonotonicMs() const {
    if (m_options.monotonicMs) return m_options.monotonicMs();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string TForm1::WorkingPath(const char* fileName) const {
    return drv::JoinPath(m_state.WorkingDirectory, fileName);
}

std::string TForm1::SpoolPrefix() const {
    return drv::SpoolPrefixFor(m_state.WorkingDirectory, m_state.settings.PathForSoob);
}

void TForm1::FormCreate(QObject* /*Sender*/) {
    // 1. The working directory.
    if (!m_options.workingDirectory.empty()) {
        m_state.WorkingDirectory = m_options.workingDirectory;
    } else {
        char buf[4096];
        m_state.WorkingDirectory = ::getcwd(buf, sizeof buf) ? buf : ".";
    }
    // 2. The Z7 receive buffer.
    m_state.Z7ReceiveBuffer.emplace();
    // 3. Start time and flags.
    m_state.StartTime = NowTime();
    m_state.StationLinkUp = false;
    m_state.RemoteCloseRequested = false;
    m_state.ClosePassword.clear();
    // 4. The closing password, from a generator seeded by the clock.
    const unsigned seed =
        m_options.randomSeed != 0
            ? m_options.randomSeed
            : static_cast<unsigned>(std::chrono::high_resolution_clock::now().time_since_epoch().count());
    std::mt19937 rng(seed);
    m_state.ClosePassword = drv::DrawClosePassword(rng);
    Label15->setText(QString::fromStdString(m_state.ClosePassword));
    // 5. The port list starts empty.
    AdvOfficeComboBox1->clear();
    AdvOfficeComboBox1->setCurrentIndex(0);
    // 6. Configuration.
    m_state.settings = drv::LoadDriverSettings(WorkingPath(drv::kConfigFileName));
    m_decoder.SetResyncGap(static_cast<std::uint32_t>(m_state.settings.ResyncGap));
    m_state.shared.SetComPort(m_state.settings.ComPort);
    SimpleTCPClient1->Host = m_state.settings.host;
    Label13->setVisible(m_state.settings.SendZ7);
    Image1->setVisible(m_state.settings.SendZ7);
    StartSpool();
    // 7. The station's port.
    if (m_state.settings.ComPort != drv::kNoComPort) {
        bool opened = false;
        try {
            opened = OpenStationPort("\\\\.\\" + m_state.settings.ComPort);
        } catch (const std::exception&) {
            opened = false;
        }
        if (!opened) {
            ReportStationPortFailure();
            ShowMessageText(QString::fromUtf8(kPortBusyText));
            SetPortControlsStopped();
            // A stop while the message was open: nothing more starts.
            if (StopRequested()) {
                std::fprintf(stderr, "drvorvel: stopped before startup was done\n");
                return;
            }
            // A device that comes later (an adapter found after boot) is opened then, as a lost one would be.
            CommPortDriver1->StartReopening();
        }
    } else {
        SetPortControlsStopped();
    }
    // 8. The first Z7 connection attempt.
    if (m_state.settings.SendZ7) SimpleTCPClient1->SetConnected(true);
    // 9. The Z8 link.
    if (m_state.settings.SendZ8) {
        CreateZ8Link();
        DrawIndicator(Image3, Z8LinkConnected(), Z8ActivityCounter);
    }
    // 10. The start time.
    Label6->setText(QString::fromStdString(drv::FormatDateTime(m_state.StartTime)));
    StartSpoolForwarding();
}

void TForm1::FormDestroy(QObject* /*Sender*/) {
    if (m_destroyed) return;
    m_destroyed = true;
    if (Timer2 != nullptr) Timer2->stop();
    StopZ8Link();
    // A last try for the events that wait in memory; what still cannot be written goes to the rescue directory.
    if (m_spoolBacklog.Waiting() > 0) {
        m_spoolBacklog.Retry(SpoolWriter());
        drv::RescueEventsAtStop(m_spoolBacklog.Take(m_spoolBacklog.Waiting()), m_state.WorkingDirectory, SpoolPrefix(),
                                m_spoolBacklog.LastError(), drv::SpoolTimeValue(NowTime()),
                                WorkingPath(drv::kErrorLogFileName), SpoolFileSystem());
    }
    StopZ7Client();
    m_state.Z7ReceiveBuffer.reset();
}

void TForm1::LogError(std::int32_t code) { drv::AppendErrorLog(WorkingPath(drv::kErrorLogFileName), code); }

void TForm1::LogErrorNoThrow(std::int32_t code) noexcept {
    try {
        LogError(code);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "drvorvel: error %d could not be logged: %s\n", code, e.what());
    } catch (...) {
        std::fprintf(stderr, "drvorvel: error %d could not be logged\n", code);
    }
}

void TForm1::ShowMessageText(const QString& text) {
    if (m_options.headless) {
        std::fprintf(stderr, "drvorvel: message: %s\n", text.toUtf8().constData());
        std::fflush(stderr);
        return;
    }
    if (StopRequested()) return;  // nobody is to be asked any more
    if (m_messageWindow != nullptr) m_messageWindow->ShowMessageText(text);
}

bool TForm1::StopRequested() const { return m_stopped || (m_options.stopRequested && m_options.stopRequested()); }

void TForm1::Stop() {
    m_stopped = true;
    drv::RunHandler("closing the serial port", [this] {
        if (CommPortDriver1 != nullptr && CommPortDriver1->IsPortOpen()) CommPortDriver1->ClosePort();
    });
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
