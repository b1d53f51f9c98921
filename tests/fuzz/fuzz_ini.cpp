// The INI reader: drvorvel.ini and ignore.ini as anyone may have edited them.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/inifile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto ini = drv::IniFile::FromText(text);
    for (const char* section : {"main", "ServerHost", "object", "ports"}) {
        for (const char* key : {"ComPort", "PathForSoob", "Port", "FirstNumber", "40802", "COM1"}) {
            const auto value = ini.Value(section, key);
            if (value && value->size() > drv::IniFile::kMaxValueLength) std::abort();
            (void)ini.ReadInteger(section, key, -1);
            (void)ini.ReadBool(section, key, false);
        }
    }
    (void)drv::ParseProfileInteger(text);
    return 0;
}
