// Spool files of the driver: writing .ob8 files, the events that wait in memory while no file can be written,
// and the checks of the spool directory at startup.
#include <signal.h>
#include <unistd.h>

#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/driverfiles.h"
#include "core/spool.h"
#include "core/spoolindex.h"
#include "core/spoolrescue.h"
#include "driver/driver.h"
#include "z8link/Unit7.h"

namespace {

constexpr const char* kProbeName = ".drvorvel-write-test";
// Events handed from memory to the Z8 link per retry while its queue has room.
constexpr std::size_t kHandOverPerRetry = 20;
constexpr std::size_t kLinkQueueRoom = 50;

// The operator's texts.
constexpr const char* kTextSpoolUnwritable =
    "Каталог для файлов событий недоступен для записи: %1 (%2). События, которые не удастся записать, будут "
    "храниться в памяти.";
constexpr const char* kTextEventsInMemory = "Каталог событий недоступен: событий в памяти: %1.";

bool WriterAlive(long pid) {
    if (pid <= 0 || pid == static_cast<long>(::getpid())) return false;
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

}  // namespace

namespace drv {

drv::SpoolFs& Driver::SpoolFileSystem() const { return m_options.spoolFs ? *m_options.spoolFs : drv::SystemSpoolFs(); }

void Driver::StartSpool() {
    m_spoolRetryTimer = new QTimer(this);
    m_spoolRetryTimer->setInterval(m_options.spoolRetryMs);
    connect(m_spoolRetryTimer, &QTimer::timeout, this, [this] { SpoolRetryTick(); });
    // Both clocks run only while there is something to do: an idle driver wakes for neither.
    m_durableTimer = new QTimer(this);
    m_durableTimer->setInterval(m_options.durableCheckMs);
    connect(m_durableTimer, &QTimer::timeout, this, [this] { MakeLinkEventsDurable(); });

    for (const auto& f : drv::FinishLeftoverSpoolFiles(SpoolPrefix(), WriterAlive, SpoolFileSystem())) {
        if (f.error != 0) {
            std::fprintf(stderr, "drvorvel: the unfinished spool file %s could not be finished: %s\n", f.part.c_str(),
                         std::strerror(f.error));
        } else if (!f.fileType.empty()) {
            std::fprintf(stderr,
                         "drvorvel: the unfinished spool file %s is a %s, not a regular file; set aside as %s\n",
                         f.part.c_str(), f.fileType.c_str(), f.path.c_str());
        } else if (f.complete) {
            std::fprintf(stderr, "drvorvel: the unfinished spool file %s was complete and is now %s\n", f.part.c_str(),
                         f.path.c_str());
        } else {
            std::fprintf(stderr, "drvorvel: the unfinished spool file %s was incomplete and is set aside as %s\n",
                         f.part.c_str(), f.path.c_str());
        }
    }

    const bool spoolsZ8 = m_state.settings.SendZ8 && !m_state.settings.NotSendToDiskZ8;
    if (!spoolsZ8 && !m_state.settings.SendZ7) return;
    drv::MakeSpoolDirectory(SpoolPrefix(), SpoolFileSystem());
    const std::string probe = SpoolPrefix() + kProbeName;
    const int err = SpoolFileSystem().WriteDurably(probe, {});
    if (err == 0) {
        SpoolFileSystem().Remove(probe);
        drv::ReturnRescuedEvents(m_state.WorkingDirectory, SpoolPrefix(), SpoolFileSystem());
        return;
    }
    std::fprintf(stderr, "drvorvel: the spool directory of \"%s\" cannot be written: %s\n", SpoolPrefix().c_str(),
                 std::strerror(err));
    const QString text = QString::fromUtf8(kTextSpoolUnwritable)
                             .arg(QString::fromStdString(SpoolPrefix()), QString::fromLocal8Bit(std::strerror(err)));
    // Shown once the message loop runs, so that startup goes on meanwhile.
    QTimer::singleShot(0, this, [this, text] { ShowMessageText(text); });
}

drv::SpoolWriteResult Driver::WriteZ8SpoolFile(const drv::SpoolBacklog::Event& event) {
    auto value = drv::SpoolTimeValue(NowTime());
    if (!value) {
        LogErrorNoThrow(11);
        value = 0;  // no stamp: the first free name from 0 up, so that the event is kept all the same
    }
    auto result =
        drv::WriteSpoolFile(SpoolPrefix(), value, ".ob8",
                            drv::BuildOb8(event.code, event.payload.data(), event.payload.size()), SpoolFileSystem());
    if (result.ok) NoteSpoolFileWritten(result.path);
    if (result.ok) drv::DriverMetrics::Count(m_metrics.spooled);
    if (!result.ok && result.error == 0) result.error = EIO;
    return result;
}

drv::SpoolBacklog::Writer Driver::SpoolWriter() {
    return [this](const drv::SpoolBacklog::Event& event) { return WriteZ8SpoolFile(event).error; };
}

void Driver::WatchLiveEvents() {
    if (m_durableTimer != nullptr && !m_durableTimer->isActive() && !m_state.settings.NotSendToDiskZ8)
        m_durableTimer->start();
}

void Driver::MakeLinkEventsDurable() {
    if (!Z8Link || m_state.settings.NotSendToDiskZ8 || Z8Link->PendingLiveEvents() == 0) {
        m_durableTimer->stop();
        return;
    }
    for (const auto& queued : Z8Link->TakeEventsToMakeDurable(static_cast<std::uint32_t>(m_options.durableAfterMs))) {
        const auto& packet = queued.packet;
        const drv::SpoolBacklog::Event event{
            drv::z8::GetU32(&packet[1]),
            std::vector<std::uint8_t>(packet.begin() + drv::z8::kHeaderSize, packet.end())};
        // Behind events already waiting in memory a file would break their order: the event stays with the link.
        const auto written = m_spoolBacklog.Waiting() == 0 ? WriteZ8SpoolFile(event) : drv::SpoolWriteResult{};
        if (!written.ok) {
            if (Z8Link->EventNotMadeDurable(queued.sequence)) SpoolZ8Packet(event.code, event.payload);
            continue;
        }
        switch (Z8Link->EventMadeDurable(queued.sequence, written.path)) {
            case cl::DurableOutcome::Converted:  // forwarding leaves it to the link
                SetZ8SpoolFileInFlight(written.path, true);
                break;
            case cl::DurableOutcome::Delivered:  // a file that cannot be deleted is kept from forwarding
                if (m_ob8Index) {
                    DeleteDeliveredSpoolFile(*m_ob8Index, written.path.substr(written.path.rfind('/') + 1));
                } else {
                    SpoolFileSystem().Remove(written.path);
                }
                break;
            case cl::DurableOutcome::Undelivered:
                break;
        }
    }
}

void Driver::SpoolRetryTick() {
    const auto reportRefused = [this] {
        if (const std::size_t refused = m_spoolBacklog.TakeRefusedCount(); refused > 0) {
            std::fprintf(stderr, "drvorvel: %zu events refused: %zu events already waited in memory for the spool\n",
                         refused, drv::SpoolBacklog::kDefaultCapacity);
        }
    };
    const std::size_t written = m_spoolBacklog.Retry(SpoolWriter());
    m_backlogSpooled += written;
    if (m_spoolBacklog.Waiting() == 0) {
        reportRefused();
        // The memory may have been emptied by the link while the disk is still full: say what really happened.
        if (written > 0 || m_spoolBacklog.LastError() == 0) {
            std::fprintf(stderr, "drvorvel: the spool can be written again; the %zu events kept in memory are spooled",
                         m_backlogSpooled);
        } else {
            std::fprintf(stderr,
                         "drvorvel: no event waits in memory any more, the spool under \"%s\" still cannot be "
                         "written (%s)",
                         SpoolPrefix().c_str(), std::strerror(m_spoolBacklog.LastError()));
            if (m_backlogSpooled > 0) std::fprintf(stderr, "; %zu of them were spooled", m_backlogSpooled);
        }
        if (m_backlogHandedOver > 0) std::fprintf(stderr, "; %zu went to the Z8 server", m_backlogHandedOver);
        std::fputc('\n', stderr);
        m_spoolRetryTicks = 0;
        m_backlogSpooled = 0;
        m_backlogHandedOver = 0;
        m_spoolRetryTimer->stop();
        return;
    }
    // The link is up: the server may take what the disk cannot. What it does not acknowledge comes back here.
    if (Z8LinkConnected() && Z8Link->QueuedCount() < kLinkQueueRoom) {
        for (auto& event : m_spoolBacklog.Take(kHandOverPerRetry)) {
            if (QueueZ8Packet(event.code, event.payload, drv::z8::PacketOrigin::LiveEvent)) {
                ++m_backlogHandedOver;
            } else {
                SpoolZ8Packet(event.code, event.payload);
            }
        }
    }
    if (++m_spoolRetryTicks % std::max(1, m_options.spoolReportTicks) != 0) return;
    reportRefused();
    std::fprintf(stderr, "drvorvel: %zu events wait in memory: the spool under \"%s\" cannot be written (%s)\n",
                 m_spoolBacklog.Waiting(), SpoolPrefix().c_str(), std::strerror(m_spoolBacklog.LastError()));
    AppendLinkLog(QString::fromStdString(drv::FormatDateTime(NowTime(), true) + " ") +
                  QString::fromUtf8(kTextEventsInMemory).arg(m_spoolBacklog.Waiting()));
}

}  // namespace drv
