#include "core/config.h"

#include "platform/inifile.h"

namespace drv {

TDateTime ParseAttention(const std::string& text) {
    if (auto t = ParseTimeText(text)) return *t;
    return 600 * kOneSecond;
}

DriverSettings LoadDriverSettings(const std::string& iniPath) {
    const IniFile ini(iniPath);
    DriverSettings s;
    const DriverSettings d;
    // Read in the order the driver has always read them.
    s.ComPort = ini.ReadString("main", "ComPort", d.ComPort);
    s.n_abs = ini.ReadInteger("main", "n_abs", d.n_abs);
    s.name = ini.ReadInteger("main", "name", d.name);
    s.FirstNumber = ini.ReadInteger("main", "FirstNumber", d.FirstNumber);
    s.PathForSoob = ini.ReadString("main", "PathForSoob", d.PathForSoob);
    s.host = ini.ReadString("main", "host", d.host);
    s.NotSendToDiskZ8 = ini.ReadBool("main", "NotSendToDiskZ8", d.NotSendToDiskZ8);
    s.AttentionText = ini.ReadString("main", "Attention", d.AttentionText);
    s.Attention = ParseAttention(s.AttentionText);
    s.ret = ini.ReadString("main", "ret", d.ret);
    s.Log = ini.ReadBool("main", "Log", d.Log);
    s.SendZ7 = ini.ReadBool("main", "SendZ7", d.SendZ7);
    s.SendZ8 = ini.ReadBool("main", "SendZ8", d.SendZ8);
    s.OTS = ini.ReadBool("main", "OTS", d.OTS);
    s.ResyncGap = ini.ReadInteger("main", "ResyncGap", d.ResyncGap);
    if (s.ResyncGap < 1) s.ResyncGap = d.ResyncGap;
    return s;
}

ServerHostSettings LoadServerHostSettings(const std::string& iniPath) {
    const IniFile ini(iniPath);
    ServerHostSettings s;
    s.Address = ini.ReadString("ServerHost", "Address", s.Address);
    s.Port = ini.ReadInteger("ServerHost", "Port", s.Port);
    return s;
}

MetricsSettings LoadMetricsSettings(const std::string& iniPath) {
    const IniFile ini(iniPath);
    MetricsSettings s;
    s.Address = ini.ReadString("metrics", "Address", s.Address);
    s.Port = ini.ReadInteger("metrics", "Port", s.Port);
    if (!s.On()) s.Port = 0;
    return s;
}

std::string SpoolPrefixFor(const std::string& workingDirectory, const std::string& pathForSoob) {
    if (!pathForSoob.empty() && pathForSoob.front() == '/') return pathForSoob;
    return workingDirectory + "/" + pathForSoob;
}

}  // namespace drv
