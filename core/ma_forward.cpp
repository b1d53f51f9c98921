// Spool forwarding and the station watchdog: the 200 ms Timer2, the index of pending spool files and its
// directory watch.
#include <unistd.h>

#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>

#include "core/ma.h"
#include "core/spool.h"
#include "core/spoolindex.h"
#include "ui/indicator.h"
#include "z7link/SimpleTCP.h"
#include "z8link/Unit7.h"

namespace {

constexpr drv::TDateTime kForwardSpacing = 3 * drv::kOneSecond;
constexpr drv::TDateTime kRescanInterval = 30 * drv::kOneSecond;  // while the directory cannot be watched
constexpr std::size_t kZ7RecordSize = 555;
constexpr std::size_t kMaxOb8Size = 16u * 1024u * 1024u;  // a larger file is no event of ours
constexpr int kMaxFilesSetAsidePerTick = 64;              // keeps a tick short in a directory full of bad files
constexpr std::uint8_t kReportLinkUp = 'I';
constexpr std::uint8_t kReportLinkLost = 'H';

// Reports a spool file that was moved out of the way (or could not be) on stderr.
void ReportSetAside(const std::string& path, const char* why) {
    const std::string to = drv::SetSpoolFileAside(path);
    if (!to.empty()) {
        std::fprintf(stderr, "drvorvel: spool file \"%s\" %s; moved aside to \"%s\"\n", path.c_str(), why, to.c_str());
    } else {
        std::fprintf(stderr, "drvorvel: spool file \"%s\" %s and cannot be moved aside: %s\n", path.c_str(), why,
                     std::strerror(errno));
    }
}

}  // namespace

void TForm1::StartSpoolForwarding() {
    const std::string prefix = SpoolPrefix();
    m_ob8Index = std::make_unique<drv::SpoolIndex>(drv::SpoolPattern(prefix, ".ob8"));
    m_obzIndex = std::make_unique<drv::SpoolIndex>(drv::SpoolPattern(prefix, ".obz"));
    m_badIndex = std::make_unique<drv::SpoolIndex>(drv::SpoolPattern(prefix, ".bad"));
    m_spoolWatch = std::make_unique<drv::SpoolDirectoryWatch>();
    m_stationHeardAt = m_state.StartTime;
    RescanSpool();
    if (Timer2 == nullptr) {
        Timer2 = new QTimer(this);
        Timer2->setTimerType(Qt::CoarseTimer);
        connect(Timer2, &QTimer::timeout, this, [this] { Timer2Timer(Timer2); });
    }
    // A timer of the main thread ticks only once the event loop runs, and in nested loops of modal windows too.
    if (m_options.timer2IntervalMs > 0) Timer2->start(m_options.timer2IntervalMs);
}

void TForm1::RescanSpool() {
    if (!m_ob8Index) return;
    m_lastSpoolRescan = NowTime();
    delete m_spoolNotifier;
    m_spoolNotifier = nullptr;
    // The watch first, so that nothing arriving during the listing is missed.
    if (m_spoolWatch->Start(m_ob8Index->Pattern().directory)) {
        m_spoolNotifier = new QSocketNotifier(m_spoolWatch->Descriptor(), QSocketNotifier::Read, this);
        connect(m_spoolNotifier, &QSocketNotifier::activated, this, [this] { ApplySpoolChanges(); });
    }
    m_ob8Index->Rescan();
    m_obzIndex->Rescan();
    m_badIndex->Rescan();
}

void TForm1::ApplySpoolChanges() {
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
        m_lastSpoolRescan = 0.0;
    }
}

void TForm1::NoteSpoolFileWritten(const std::string& path) {
    if (!m_ob8Index) return;
    m_ob8Index->Add(path);
    m_obzIndex->Add(path);
}

void TForm1::SetZ8SpoolFileInFlight(const std::string& path, bool inFlight) {
    if (m_ob8Index) m_ob8Index->SetInFlight(path, inFlight);
}

void TForm1::Z8SpoolFileAcknowledged(const std::string& path) {
    if (!m_ob8Index) return;
    if (::access(path.c_str(), F_OK) != 0) {
        m_ob8Index->Remove(path);
        m_ob8Index->SetInFlight(path, false);  // delivered: no packet of it is on its way any more
    }
    try {
        ForwardZ8Spool();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "drvorvel: spool forwarding: %s\n", e.what());
    }
}

void TForm1::Timer2Timer(QObject* /*Sender*/) {
    if (m_ob8Index) {
        ApplySpoolChanges();
        if (!m_spoolWatch->Active() && NowTime() > m_lastSpoolRescan + kRescanInterval) RescanSpool();
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
    StationWatchdog();
}

void TForm1::ForwardZ8Spool() {
    if (!m_state.settings.SendZ8 || !Z8Link || !Z8LinkConnected() || !m_ob8Index) return;
    for (int skipped = 0; skipped <= kMaxFilesSetAsidePerTick; ++skipped) {
        const auto name = m_ob8Index->First();
        if (!name) return;
        const drv::TDateTime now = NowTime();
        if (now <= m_state.shared.LastForwardTime() + kForwardSpacing) return;
        const std::string path = m_ob8Index->Pattern().PathOf(*name);
        auto read = drv::ReadSpoolFile(path, kMaxOb8Size + 1);
        if (read.status == drv::SpoolFileRead::Status::Gone) {
            m_ob8Index->Remove(*name);  // deleted behind our back: nothing to forward
            continue;
        }
        if (read.status != drv::SpoolFileRead::Status::Ok || read.bytes.size() < 4 || read.bytes.size() > kMaxOb8Size) {
            const std::string why = read.status != drv::SpoolFileRead::Status::Ok
                                        ? std::string("cannot be read: ") + std::strerror(read.error)
                                        : (read.bytes.size() < 4 ? "is shorter than 4 bytes" : "is too large");
            ReportSetAside(path, why.c_str());
            m_ob8Index->Remove(*name);
            continue;
        }
        const auto packet = drv::ParseOb8(read.bytes.data(), read.bytes.size());  // 4 bytes at least, checked above
        m_state.shared.SetForwardedSpoolPath(path);
        // Until its packet is acknowledged or given up the file is not handed over again (no second copy).
        if (QueueZ8Packet(packet->code, packet->payload, drv::z8::PacketOrigin::SpoolFile, path))
            m_ob8Index->SetInFlight(path, true);
        m_state.shared.SetLastForwardTime(now);
        return;
    }
}

void TForm1::ForwardZ7Spool() {
    if (SimpleTCPClient1 == nullptr || !SimpleTCPClient1->Connected() || !m_obzIndex) return;
    for (int skipped = 0; skipped <= kMaxFilesSetAsidePerTick; ++skipped) {
        const auto name = m_obzIndex->First();
        if (!name) return;
        const std::string path = m_obzIndex->Pattern().PathOf(*name);
        auto read = drv::ReadSpoolFile(path, kZ7RecordSize);
        if (read.status == drv::SpoolFileRead::Status::Gone) {
            m_obzIndex->Remove(*name);
            continue;
        }
        if (read.status != drv::SpoolFileRead::Status::Ok) {
            ReportSetAside(path, (std::string("cannot be read: ") + std::strerror(read.error)).c_str());
            m_obzIndex->Remove(*name);
            continue;
        }
        read.bytes.resize(kZ7RecordSize, 0);  // a short file is completed with zero bytes
        const std::int32_t sent = SimpleTCPClient1->SendStream(read.bytes);
        // A failed or partial send keeps the file for a later tick.
        if (sent != static_cast<std::int32_t>(kZ7RecordSize)) return;
        ::unlink(path.c_str());
        m_obzIndex->Remove(*name);
        return;
    }
}

void TForm1::StationWatchdog() {
    const bool up = NowTime() <= m_stationHeardAt + m_state.settings.Attention;
    if (up == m_state.StationLinkUp) return;
    m_state.StationLinkUp = up;
    m_metrics.SetLink(drv::Link::Station, up, up ? drv::LinkReason::FramesArrive : drv::LinkReason::Silent,
                      "Attention=" + m_state.settings.AttentionText);
    try {
        DrawIndicator(Image2, up, 0);
        if (m_state.settings.SendZ7) SendZ7Record(up ? kReportLinkUp : kReportLinkLost);
    } catch (const std::exception&) {
        LogError(9);
    }
}
