#include "app/metricsformat.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <cstdio>
#include <string>

#include "core/config.h"
#include "core/health.h"

namespace {

class Exposition {
public:
    // Starts a metric family: its HELP and TYPE lines.
    void Family(const char* name, const char* type, const char* help) {
        m_text += "# HELP ";
        m_text += name;
        m_text += ' ';
        m_text += help;
        m_text += "\n# TYPE ";
        m_text += name;
        m_text += ' ';
        m_text += type;
        m_text += '\n';
    }
    void Sample(const char* name, const std::string& labels, double value) {
        char number[64];
        std::snprintf(number, sizeof number, "%.17g", value);
        Sample(name, labels, number);
    }
    void Sample(const char* name, const std::string& labels, std::uint64_t value) {
        Sample(name, labels, std::to_string(value));
    }
    void Sample(const char* name, const std::string& labels, const std::string& value) {
        m_text += name;
        if (!labels.empty()) m_text += "{" + labels + "}";
        m_text += ' ';
        m_text += value;
        m_text += '\n';
    }
    QByteArray Take() { return QByteArray::fromStdString(m_text); }

private:
    std::string m_text;
};

// A label value with backslash, double quote and newline escaped.
std::string Quoted(const std::string& v) {
    std::string out = "\"";
    for (const char c : v) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out + "\"";
}

std::string LinkLabel(int i) { return std::string("link=") + Quoted(drv::kLinkNames[i]); }

}  // namespace

QByteArray PrometheusText(const drv::DriverStatus& s) {
    Exposition e;
    const auto u64 = [](std::size_t v) { return static_cast<std::uint64_t>(v); };
    e.Family("drvorvel_build_info", "gauge", "The driver's version; always 1.");
    e.Sample("drvorvel_build_info", "version=" + Quoted(s.version), std::uint64_t{1});
    e.Family("process_start_time_seconds", "gauge", "Start time of the driver since the Unix epoch in seconds.");
    e.Sample("process_start_time_seconds", "", s.startTimeSeconds);
    e.Family("drvorvel_frames_total", "counter", "Complete station frames decoded since the start.");
    e.Sample("drvorvel_frames_total", "", s.frames);
    e.Family("drvorvel_events_ignored_total", "counter", "Station events of objects in ignore.ini since the start.");
    e.Sample("drvorvel_events_ignored_total", "", s.eventsIgnored);
    e.Family("drvorvel_events_delivered_total", "counter",
             "Events the Z8 server acknowledged since the start, by the road they took.");
    e.Sample("drvorvel_events_delivered_total", "path=\"live\"", s.deliveredLive);
    e.Sample("drvorvel_events_delivered_total", "path=\"spool\"", s.deliveredSpool);
    e.Family("drvorvel_events_spooled_total", "counter", "Events written to .ob8 spool files since the start.");
    e.Sample("drvorvel_events_spooled_total", "", s.spooled);
    e.Family("drvorvel_events_today", "gauge", "Station events routed since local midnight (or the start).");
    e.Sample("drvorvel_events_today", "", s.eventsToday);
    e.Family("drvorvel_spool_files", "gauge", "Files in the spool directory: pending .ob8 and .obz, set aside .bad.");
    e.Sample("drvorvel_spool_files", "kind=\"ob8\"", u64(s.spoolOb8));
    e.Sample("drvorvel_spool_files", "kind=\"obz\"", u64(s.spoolObz));
    e.Sample("drvorvel_spool_files", "kind=\"bad\"", u64(s.spoolBad));
    e.Family("drvorvel_spool_oldest_age_seconds", "gauge", "Age of the oldest pending spool file; 0 when none.");
    e.Sample("drvorvel_spool_oldest_age_seconds", "", s.spoolOldestAgeSeconds);
    e.Family("drvorvel_memory_backlog_events", "gauge",
             "Events waiting in memory because no spool file can be written.");
    e.Sample("drvorvel_memory_backlog_events", "", u64(s.memoryBacklog));
    e.Family("drvorvel_link_up", "gauge", "1 while the link is up; links that are switched off are left out.");
    for (int i = 0; i < drv::kLinkCount; ++i)
        if (s.links[i].enabled) e.Sample("drvorvel_link_up", LinkLabel(i), std::uint64_t{s.links[i].up ? 1u : 0u});
    e.Family("drvorvel_link_changes_total", "counter", "Changes of the link's state (up or down) since the start.");
    for (int i = 0; i < drv::kLinkCount; ++i)
        if (s.links[i].enabled) e.Sample("drvorvel_link_changes_total", LinkLabel(i), s.links[i].changes);
    e.Family("drvorvel_port_open", "gauge", "1 while the station's serial port is open.");
    e.Sample("drvorvel_port_open", "", std::uint64_t{s.portOpen ? 1u : 0u});
    e.Family("drvorvel_port_state", "gauge",
             "1 for the station port's state: open, reopening (awaiting its device), stopped, none (no port).");
    for (const char* state : drv::kPortStates)
        e.Sample("drvorvel_port_state", "state=" + Quoted(state), std::uint64_t{s.portState == state ? 1u : 0u});
    e.Family("drvorvel_port_operator_stops_total", "counter", "Stops of the station's port by the operator.");
    e.Sample("drvorvel_port_operator_stops_total", "", s.portOperatorStops);
    e.Family("drvorvel_station_bytes_dropped_total", "counter",
             "Bytes of incomplete station frames dropped after a silence on the line since the start.");
    e.Sample("drvorvel_station_bytes_dropped_total", "", s.stationBytesDropped);
    e.Family("drvorvel_station_resyncs_total", "counter",
             "Times the station frame decoder fell back into step after a silence, dropping bytes, since the start.");
    e.Sample("drvorvel_station_resyncs_total", "", s.stationResyncs);
    e.Family("drvorvel_station_resync_gap_seconds", "gauge",
             "Silence on the station's line after which an incomplete frame is dropped, as the decoder uses it now.");
    e.Sample("drvorvel_station_resync_gap_seconds", "", s.stationResyncGapMs / 1000.0);
    e.Family("drvorvel_last_frame_age_seconds", "gauge",
             "Seconds since the last complete station frame (since the start while none came).");
    e.Sample("drvorvel_last_frame_age_seconds", "", s.lastFrameAgeSeconds);
    e.Family("drvorvel_station_attention_seconds", "gauge",
             "The station watchdog's interval (Attention): this long without a frame counts the station link down.");
    e.Sample("drvorvel_station_attention_seconds", "", drv::ParseAttention(s.attention) / drv::kOneSecond);
    return e.Take();
}

QByteArray StatusJson(const drv::DriverStatus& s) {
    const auto str = [](const std::string& v) { return QString::fromStdString(v); };
    const auto num = [](std::uint64_t v) { return static_cast<double>(v); };
    QJsonObject links;
    for (int i = 0; i < drv::kLinkCount; ++i) {
        links.insert(drv::kLinkNames[i], QJsonObject{{"enabled", s.links[i].enabled},
                                                     {"up", s.links[i].up},
                                                     {"changes", num(s.links[i].changes)},
                                                     {"reason", str(s.links[i].reason)}});
    }
    const QJsonObject events{{"frames", num(s.frames)},
                             {"ignored", num(s.eventsIgnored)},
                             {"delivered_live", num(s.deliveredLive)},
                             {"delivered_spool", num(s.deliveredSpool)},
                             {"spooled", num(s.spooled)},
                             {"today", num(s.eventsToday)}};
    const QJsonObject spool{{"ob8", num(s.spoolOb8)},
                            {"obz", num(s.spoolObz)},
                            {"bad", num(s.spoolBad)},
                            {"oldest_age_seconds", s.spoolOldestAgeSeconds},
                            {"memory_backlog", num(s.memoryBacklog)}};
    const QJsonObject configuration{{"working_directory", str(s.workingDirectory)},
                                    {"ComPort", str(s.comPort)},
                                    {"port_device", str(s.portDevice)},
                                    {"z8_address", str(s.z8Address)},
                                    {"z8_port", s.z8Port},
                                    {"z7_host", str(s.z7Host)},
                                    {"spool_directory", str(s.spoolDirectory)},
                                    {"SendZ7", s.sendZ7},
                                    {"SendZ8", s.sendZ8},
                                    {"NotSendToDiskZ8", s.notSendToDiskZ8},
                                    {"Log", s.log},
                                    {"FirstNumber", s.firstNumber},
                                    {"Attention", str(s.attention)},
                                    {"metrics_address", str(s.metricsAddress)},
                                    {"metrics_port", s.metricsPort}};
    QJsonObject root{{"version", str(s.version)},
                     {"start_time_seconds", s.startTimeSeconds},
                     {"uptime_seconds", s.uptimeSeconds},
                     {"links", links},
                     {"port_open", s.portOpen},
                     {"port_state", str(s.portState)},
                     {"port_operator_stops", num(s.portOperatorStops)},
                     {"frame_heard", s.frameHeard},
                     {"last_frame_age_seconds", s.lastFrameAgeSeconds},
                     {"station_line", QJsonObject{{"bytes_dropped", num(s.stationBytesDropped)},
                                                  {"resyncs", num(s.stationResyncs)},
                                                  {"resync_gap_ms", static_cast<double>(s.stationResyncGapMs)}}},
                     {"events", events},
                     {"spool", spool},
                     {"configuration", configuration}};
    if (s.portHolder != 0) root.insert("port_holder_pid", s.portHolder);
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}
