// Z8 link glue of the driver: creating and stopping the link thread, and the main-thread side of what the
// thread asks (log lines, indicator steps, handshake values, events it could not deliver).
#include <QMetaObject>
#include <cerrno>
#include <condition_variable>
#include <mutex>

#include "core/spoolfs.h"
#include "driver/driver.h"
#include "serial/CPDrv.h"
#include "z8link/Unit7.h"

namespace drv {

// The link thread's host. Hand-offs go to the main thread as queued calls; the link thread waits for them, the
// main thread never waits for the link thread. Release() (main thread, at shutdown) ends every wait at once and
// makes later hand-offs return without effect; events handed back after that are kept for the caller to take.
class Z8HostAdapter final : public drv::Z8LinkHost, public std::enable_shared_from_this<Z8HostAdapter> {
public:
    // showsIndicator: the view shows the Z8 indicator; without it the link's indicator steps go nowhere.
    Z8HostAdapter(Driver* form, drv::SharedLinkValues* shared, const TCommPortDriver* port, std::int32_t firstNumber,
                  drv::SpoolFs* fs, bool showsIndicator)
        : m_form(form),
          m_shared(shared),
          m_port(port),
          m_firstNumber(firstNumber),
          m_fs(fs),
          m_showsIndicator(showsIndicator) {}

    void LogLine(const std::string& text) override {
        RunOnMain([text](Driver* form) {
            const std::string stamp = drv::FormatDateTime(form->NowTime(), true);
            // Each attempt is in the window's log; standard error has a line when the link's state changes.
            form->AppendLinkLog(QString::fromStdString(stamp + " " + text), text != "Соединение...");
        });
    }

    // Nothing to draw (headless): no hand-off and no wait, so that an idle link's poll exchange, twice a second,
    // does not wake the main thread and block the link thread for a step that shows nothing.
    void IndicatorStep() override {
        if (!m_showsIndicator) return;
        RunOnMain([](Driver* form) { form->Z8IndicatorStep(); });
    }

    std::optional<HandshakeValues> ReadHandshakeValues() override {
        {
            std::lock_guard lock(m_mutex);
            if (m_released) return std::nullopt;
        }
        // ComPort is copied under the shared values' lock; IsPortOpen may be asked from any thread.
        return HandshakeValues{m_shared->ComPort(), m_firstNumber, m_port != nullptr && m_port->IsPortOpen()};
    }

    void Connected() override {
        PostToMain([](Driver* form) { form->Z8LinkConnectionMade(); });
    }

    // Link thread: through the driver's file operations; a failure is passed to the main thread, which keeps the
    // file from forwarding and deletes it later.
    int DeleteSpoolFile(const std::string& path) override {
        const int error = m_fs->Remove(path);
        if (error != 0 && error != ENOENT)
            PostToMain([path, error](Driver* form) { form->Z8SpoolFileUndeleted(path, error); });
        return error;
    }

    void ReturnUndelivered(std::uint32_t code, std::vector<std::uint8_t> payload) override {
        std::lock_guard lock(m_mutex);
        m_returned.push_back({code, std::move(payload)});
        if (m_released || m_drainPosted) return;
        m_drainPosted = true;
        auto self = shared_from_this();
        QMetaObject::invokeMethod(
            m_form,
            [self] {
                for (auto& event : self->TakeReturned())
                    self->m_form->KeepUndeliveredZ8Event(event.first, event.second);
            },
            Qt::QueuedConnection);
    }

    void SpoolFileResolved(const SpoolResult& result) override {
        PostToMain([result](Driver* form) { form->Z8SpoolFileResolved(result); });
    }

    // Main thread. After it returns no hand-off is posted any more and none is waited for.
    void Release() {
        {
            std::lock_guard lock(m_mutex);
            m_released = true;
        }
        m_cv.notify_all();
    }

    std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> TakeReturned() {
        std::lock_guard lock(m_mutex);
        m_drainPosted = false;
        return std::exchange(m_returned, {});
    }

private:
    // Link thread: runs fn(form) on the main thread later, unless the adapter has been released by then; no wait.
    template <typename Fn>
    void PostToMain(Fn fn) {
        std::lock_guard lock(m_mutex);
        if (m_released) return;
        auto self = shared_from_this();
        QMetaObject::invokeMethod(
            m_form,
            [self, fn] {
                {
                    std::lock_guard l(self->m_mutex);
                    if (self->m_released) return;
                }
                fn(self->m_form);
            },
            Qt::QueuedConnection);
    }

    // Link thread: runs fn(form) on the main thread and waits until it has run or the adapter is released.
    template <typename Fn>
    void RunOnMain(Fn fn) {
        auto done = std::make_shared<bool>(false);
        std::unique_lock lock(m_mutex);
        if (m_released) return;
        auto self = shared_from_this();
        // Posted under the lock, so that Release() cannot complete (and the driver go) while a post is under way.
        QMetaObject::invokeMethod(
            m_form,
            [self, done, fn] {
                {
                    std::lock_guard l(self->m_mutex);
                    if (self->m_released) return;
                }
                fn(self->m_form);
                {
                    std::lock_guard l(self->m_mutex);
                    *done = true;
                }
                self->m_cv.notify_all();
            },
            Qt::QueuedConnection);
        m_cv.wait(lock, [&] { return *done || m_released; });
    }

    Driver* m_form;
    drv::SharedLinkValues* m_shared;
    const TCommPortDriver* m_port;
    const std::int32_t m_firstNumber;
    drv::SpoolFs* m_fs;  // the driver's, which outlives the link; its calls may come from any thread
    const bool m_showsIndicator;

    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_released = false;
    bool m_drainPosted = false;
    std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> m_returned;
};

void Driver::CreateZ8Link() {
    if (Z8Link) return;
    m_z8Host = std::make_shared<Z8HostAdapter>(this, &m_state.shared, CommPortDriver1, m_state.settings.FirstNumber,
                                               &SpoolFileSystem(), m_view->ShowsIndicators());
    drv::Z8LinkConfig config;
    config.server = [iniPath = WorkingPath("drvorvel.ini")] {
        const drv::ServerHostSettings s = drv::LoadServerHostSettings(iniPath);
        return drv::Z8ServerAddress{s.Address, s.Port};
    };
    if (m_options.z8Timings) config.timings = *m_options.z8Timings;
    config.metrics = &m_metrics;
    config.clock = m_options.linkClock.value_or(m_options.clock);
    Z8Link = std::make_shared<cl>(m_z8Host, std::move(config));
    Z8Link->Start();
}

bool Driver::Z8LinkConnected() const { return Z8Link && Z8Link->LinkConnected(); }

bool Driver::QueueZ8Packet(std::uint32_t code, const std::vector<std::uint8_t>& payload, drv::z8::PacketOrigin origin,
                           std::string spoolPath) {
    if (!Z8Link || !Z8Link->QueuePacket(code, payload, origin, std::move(spoolPath))) return false;
    if (origin == drv::z8::PacketOrigin::LiveEvent) WatchLiveEvents();
    return true;
}

void Driver::Z8IndicatorStep() {
    Z8ActivityCounter = NextIndicatorPhase(Z8ActivityCounter);
    m_view->IndicatorStep(DriverView::Indicator::Z8, Z8LinkConnected(), Z8ActivityCounter);
}

void Driver::KeepUndeliveredZ8Event(std::uint32_t code, const std::vector<std::uint8_t>& payload) {
    if (m_state.settings.NotSendToDiskZ8) return;
    SpoolZ8Packet(code, payload);
}

void Driver::StopZ8Link() {
    if (!Z8Link) return;
    if (m_z8Host) m_z8Host->Release();
    Z8Link->Stop();
    if (m_z8Host) {
        for (auto& event : m_z8Host->TakeReturned()) KeepUndeliveredZ8Event(event.first, event.second);
    }
    for (const auto& queued : Z8Link->TakeQueuedLiveEvents()) {
        const auto& packet = queued.packet;
        KeepUndeliveredZ8Event(drv::z8::GetU32(&packet[1]),
                               std::vector<std::uint8_t>(packet.begin() + drv::z8::kHeaderSize, packet.end()));
    }
}

}  // namespace drv
