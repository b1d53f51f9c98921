// Spool forwarding and the station watchdog: the 200 ms Timer2, the index of pending spool files and its
// directory watch.
#include <unistd.h>

#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "core/spool.h"
#include "core/spoolindex.h"
#include "driver/driver.h"
#include "z7link/SimpleTCP.h"
#include "z8link/Unit7.h"

namespace {

constexpr std::int64_t kForwardSpacingMs = 3000;
constexpr std::int64_t kRescanIntervalMs = 30000;  // while the directory cannot be watched
constexpr std::size_t kZ7RecordSize = 555;
constexpr int kMaxFilesSetAsidePerTick = 64;  // keeps a tick short in a directory full of bad files
constexpr std::uint8_t kReportLinkUp = 'I';
constexpr std::uint8_t kReportLinkLost = 'H';

// The operator's text in the link log for a file the server keeps declining.
constexpr const char* kTextNotAcknowledged = "Файл %1 не подтверждён сервером (%2); попыток: %3, следующая через %4 с.";

std::string HeldBackNote(int heldBack) {
    return heldBack > 0 ? " (" + std::to_string(heldBack) + " more such reports held back this minute)" : "";
}

}  // namespace

namespace drv {

void Driver::StartSpoolForwarding() {
    const std::string prefix = SpoolPrefix();
    m_ob8Index = std::make_unique<drv::SpoolIndex>(drv::SpoolPattern(prefix, ".ob8"));
    m_obzIndex = std::make_unique<drv::SpoolIndex>(drv::SpoolPattern(prefix, ".obz"));
    m_badIndex = std::make_unique<drv::SpoolIndex>(drv::SpoolPattern(prefix, ".bad"));
    m_spoolWatch = std::make_unique<drv::SpoolDirectoryWatch>();
    m_stationHeardMs = MonotonicMs();
    RescanSpool();
    if (Timer2 == nullptr) {
        Timer2 = new QTimer(this);
        Timer2->setTimerType(Qt::CoarseTimer);
        connect(Timer2, &QTimer::timeout, this, [this] { Timer2Timer(Timer2); });
    }
    // A timer of the main thread ticks only once the event loop runs, and in nested loops of modal windows too.
    if (m_options.timer2IntervalMs > 0) Timer2->start(m_options.timer2IntervalMs);
}

void Driver::RescanSpool() {
    if (!m_ob8Index) return;
    m_lastSpoolRescanMs = MonotonicMs();
    delete m_spoolNotifier;
    m_spoolNotifier = nullptr;
    const std::string& directory = m_ob8Index->Pattern().directory;
    // The watch first, so that nothing arriving during the listing is missed.
    int watchError = m_spoolWatch->Start(directory) ? 0 : errno;
    if (watchError == ENOENT && m_spoolView.SeenBefore()) {
        // Deleted while the driver runs: made again, so that events are spooled and found as before.
        const int made = drv::RecreateSpoolDirectory(directory);
        std::fprintf(stderr, "drvorvel: %s\n", m_spoolView.Recreated(directory, made).c_str());
        if (made == 0) watchError = m_spoolWatch->Start(directory) ? 0 : errno;
    }
    if (watchError == 0) {
        m_spoolNotifier = new QSocketNotifier(m_spoolWatch->Descriptor(), QSocketNotifier::Read, this);
        connect(m_spoolNotifier, &QSocketNotifier::activated, this, [this] { ApplySpoolChanges(); });
    }
    const int listError = m_ob8Index->Rescan() ? 0 : errno;
    m_obzIndex->Rescan();
    m_badIndex->Rescan();
    for (const std::string& line : m_spoolView.Listed(directory, watchError, listError, kRescanIntervalMs))
        std::fprintf(stderr, "drvorvel: %s\n", line.c_str());
}

void Driver::ApplySpoolChanges() {
    if (!m_spoolWatch || !m_spoolWatch->Active()) return;
    const auto changes = m_spoolWatch->Read();
    for (const auto& c : changes.changes) {
        for (auto* index : {m_ob8Index.get(), m_obzIndex.get(), m_badIndex.get()}) {
            if (c.appeared) {
                index->Add(c.name);
            } else {
                index->Remove(c.name);
            }
        }
    }
    if (changes.lost) {
        // Deleting the notifier from its own signal is not safe: leave that to the next rescan.
        if (m_spoolNotifier != nullptr) m_spoolNotifier->setEnabled(false);
        m_spoolWatch->Stop();
        m_lastSpoolRescanMs = INT64_MIN;
    }
}

void Driver::NoteSpoolFileWritten(const std::string& path) {
    if (!m_ob8Index) return;
    m_ob8Index->Add(path);
    m_obzIndex->Add(path);
}

void Driver::SetZ8SpoolFileInFlight(const std::string& path, bool inFlight) {
    if (m_ob8Index) m_ob8Index->SetInFlight(path, inFlight);
}

void Driver::Z8LinkConnectionMade() { m_state.LastForwardTime = drv::DriverState::kNoForward; }

void Driver::Z8SpoolFileResolved(const drv::Z8LinkHost::SpoolResult& result) {
    if (!m_ob8Index) return;
    const std::string& path = result.path;
    m_ob8Index->SetInFlight(path, false);  // no packet of it is on its way any more
    const std::string name = path.substr(path.rfind('/') + 1);
    if (result.outcome == drv::Z8LinkHost::SpoolOutcome::Acknowledged) {
        // A file that could not be deleted stays marked as delivered until it is.
        if (m_ob8Index->Delivered().count(name) == 0) m_ob8Index->Remove(path);
        // Only the acknowledgement of the file handed over last ends the spacing, and only while it was there.
        if (result.existed && path == m_state.ForwardedSpoolPath)
            m_state.LastForwardTime = drv::DriverState::kNoForward;
    } else if (m_ob8Index->Pattern().Matches(name) && ::access(path.c_str(), F_OK) == 0) {
        // The file waits out its own pause behind the others; the server is still owed the rest of the spacing.
        const std::int64_t now = MonotonicMs();
        const std::int64_t pause = m_ob8Index->Defer(name, now);
        if (const auto heldBack = m_unacknowledgedReports.Allow(now)) {
            const int tries = m_ob8Index->Failures(name);
            std::fprintf(stderr,
                         "drvorvel: spool file \"%s\" was not acknowledged (%s); tried %d times, next try in %lld s, "
                         "the other files go meanwhile%s\n",
                         path.c_str(), result.answer.c_str(), tries, static_cast<long long>(pause / 1000),
                         HeldBackNote(*heldBack).c_str());
            AppendLinkLog(QString::fromStdString(drv::FormatDateTime(NowTime(), true) + " ") +
                          QString::fromUtf8(kTextNotAcknowledged)
                              .arg(QString::fromStdString(path), QString::fromStdString(result.answer))
                              .arg(tries)
                              .arg(pause / 1000));
        }
    }
    try {
        ForwardZ8Spool();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "drvorvel: spool forwarding: %s\n", e.what());
    }
}

void Driver::Z8SpoolFileUndeleted(const std::string& path, int error) {
    if (m_ob8Index) DeleteDeliveredSpoolFile(*m_ob8Index, path.substr(path.rfind('/') + 1), error);
}

void Driver::SetSpoolEntryAside(drv::SpoolIndex& index, const std::string& name, const std::string& why) {
    const std::string path = index.Pattern().PathOf(name);
    const std::string to = drv::SetSpoolFileAside(path);
    // Told in one line with the others set aside meanwhile (a directory full of junk is no flood of lines).
    if (!to.empty()) {
        m_spoolView.SetAside(path, to, why);
        index.Remove(name);
    } else {
        m_spoolView.SetAside(path, {}, why + " (" + std::strerror(errno) + ")");
        index.Ignore(name);
    }
}

void Driver::DeferUnreadableSpoolFile(drv::SpoolIndex& index, const std::string& name, int error) {
    const std::int64_t now = MonotonicMs();
    const std::int64_t pause = index.Defer(name, now);
    if (const auto heldBack = m_readFaultReports.Allow(now)) {
        std::fprintf(stderr, "drvorvel: spool file \"%s\" cannot be read now (%s); next try in %lld s%s\n",
                     index.Pattern().PathOf(name).c_str(), std::strerror(error), static_cast<long long>(pause / 1000),
                     HeldBackNote(*heldBack).c_str());
    }
}

void Driver::DeleteDeliveredSpoolFile(drv::SpoolIndex& index, const std::string& name, int error) {
    const std::string path = index.Pattern().PathOf(name);
    if (error < 0) error = SpoolFileSystem().Remove(path);
    if (error == 0 || error == ENOENT) {
        index.Remove(name);
        return;
    }
    index.MarkDelivered(name);  // never sent again: that would be a duplicate
    if (const auto heldBack = m_deleteFaultReports.Allow(MonotonicMs())) {
        std::fprintf(stderr, "drvorvel: the delivered spool file \"%s\" cannot be deleted (%s); trying again%s\n",
                     path.c_str(), std::strerror(error), HeldBackNote(*heldBack).c_str());
    }
}

void Driver::RetrySpoolDeletions() {
    for (auto* index : {m_ob8Index.get(), m_obzIndex.get()}) {
        if (index->Delivered().empty()) continue;
        const std::vector<std::string> names(index->Delivered().begin(), index->Delivered().end());
        for (const auto& name : names) DeleteDeliveredSpoolFile(*index, name);
    }
}

void Driver::Timer2Timer(QObject* /*Sender*/) {
    if (m_ob8Index) {
        ApplySpoolChanges();
        if (!m_spoolWatch->Active() &&
            (m_lastSpoolRescanMs == INT64_MIN || MonotonicMs() - m_lastSpoolRescanMs > kRescanIntervalMs))
            RescanSpool();
        RetrySpoolDeletions();
    }
    try {
        ForwardZ8Spool();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "drvorvel: spool forwarding: %s\n", e.what());
    }
    try {
        ForwardZ7Spool();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "drvorvel: spool forwarding: %s\n", e.what());
    }
    if (const auto line = m_spoolView.SetAsideLine(MonotonicMs()))
        std::fprintf(stderr, "drvorvel: %s\n", line->c_str());
    StationWatchdog();
}

void Driver::ForwardZ8Spool() {
    if (!m_state.settings.SendZ8 || !Z8Link || !Z8LinkConnected() || !m_ob8Index) return;
    // One file outstanding at a time, also across a reconnect: the link keeps a queued packet for the next
    // connection, and that file goes before any other. The link reports every end of its exchange.
    if (!m_state.ForwardedSpoolPath.empty() && m_ob8Index->InFlight(m_state.ForwardedSpoolPath)) return;
    const std::int64_t now = MonotonicMs();
    const std::int64_t last = m_state.LastForwardTime;
    if (last != drv::DriverState::kNoForward && now - last <= kForwardSpacingMs) return;
    for (int skipped = 0; skipped <= kMaxFilesSetAsidePerTick; ++skipped) {
        const auto name = m_ob8Index->First(now);
        if (!name) return;
        const std::string path = m_ob8Index->Pattern().PathOf(*name);
        const auto file = drv::ReadOb8File(path, SpoolFileSystem());
        switch (file.read.status) {
            case drv::SpoolFileRead::Status::Gone:
                m_ob8Index->Remove(*name);  // deleted behind our back: nothing to forward
                continue;
            case drv::SpoolFileRead::Status::NotRegular:
                SetSpoolEntryAside(*m_ob8Index, *name,
                                   std::string("is a ") + file.read.fileType + ", not a regular file");
                continue;
            case drv::SpoolFileRead::Status::Failed:
                DeferUnreadableSpoolFile(*m_ob8Index, *name, file.read.error);
                continue;
            case drv::SpoolFileRead::Status::Ok:
                break;
        }
        if (!file.content.packet) {
            SetSpoolEntryAside(*m_ob8Index, *name, file.content.fault);
            continue;
        }
        m_state.ForwardedSpoolPath = path;
        m_state.LastForwardTime = now;
        // Until the link reports what became of its packet the file is not handed over again (no second copy). The
        // report is posted to this thread, so it always comes after the mark.
        if (QueueZ8Packet(file.content.packet->code, file.content.packet->payload, drv::z8::PacketOrigin::SpoolFile,
                          path))
            m_ob8Index->SetInFlight(path, true);
        return;
    }
}

void Driver::ForwardZ7Spool() {
    if (SimpleTCPClient1 == nullptr || !SimpleTCPClient1->Connected() || !m_obzIndex) return;
    for (int skipped = 0; skipped <= kMaxFilesSetAsidePerTick; ++skipped) {
        const auto name = m_obzIndex->First(MonotonicMs());
        if (!name) return;
        const std::string path = m_obzIndex->Pattern().PathOf(*name);
        auto read = SpoolFileSystem().ReadFile(path, kZ7RecordSize);
        switch (read.status) {
            case drv::SpoolFileRead::Status::Gone:
                m_obzIndex->Remove(*name);
                continue;
            case drv::SpoolFileRead::Status::NotRegular:
                SetSpoolEntryAside(*m_obzIndex, *name, std::string("is a ") + read.fileType + ", not a regular file");
                continue;
            case drv::SpoolFileRead::Status::Failed:
                DeferUnreadableSpoolFile(*m_obzIndex, *name, read.error);
                continue;
            case drv::SpoolFileRead::Status::Ok:
                break;
        }
        read.bytes.resize(kZ7RecordSize, 0);  // a short file is completed with zero bytes
        const std::int32_t sent = SimpleTCPClient1->SendStream(read.bytes);
        // A failed or partial send keeps the file for a later tick.
        if (sent != static_cast<std::int32_t>(kZ7RecordSize)) return;
        DeleteDeliveredSpoolFile(*m_obzIndex, *name);
        return;
    }
}

void Driver::StationWatchdog() {
    const auto attentionMs = static_cast<std::int64_t>(std::llround(m_state.settings.Attention * 86400000.0));
    const bool up = MonotonicMs() - m_stationHeardMs <= attentionMs;
    if (up == m_state.StationLinkUp) return;
    m_state.StationLinkUp = up;
    m_metrics.SetLink(drv::Link::Station, up, up ? drv::LinkReason::FramesArrive : drv::LinkReason::Silent,
                      "Attention=" + m_state.settings.AttentionText);
    try {
        m_view->IndicatorStep(DriverView::Indicator::Station, up, 0);
        if (m_state.settings.SendZ7) SendZ7Record(up ? kReportLinkUp : kReportLinkLost);
    } catch (const std::exception&) {
        LogError(9);
    }
}

}  // namespace drv
