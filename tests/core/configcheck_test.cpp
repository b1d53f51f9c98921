// What the driver says at startup about a drvorvel.ini with mistakes in it.
#include "core/configcheck.h"

#include <gtest/gtest.h>

#include "tests/support/tempdir.h"

namespace {

struct Mistake {
    const char* ini;
    const char* line;  // the one line it gives, after "drvorvel: "
};

constexpr Mistake kMistakes[] = {
    {"[main]\nSendZ8=false\n",
     "drvorvel.ini [main] SendZ8=false is not a number (0 is off, any other number on); using \"1\""},
    {"[main]\nFirstNumber=abc\n", "drvorvel.ini [main] FirstNumber=abc is not a number; using \"4\""},
    {"[main]\nAttention=25:00:00\n",
     "drvorvel.ini [main] Attention=25:00:00 is not a time hh:mm:ss or hh:mm below 24 hours; using \"00:10:00\""},
    {"[ServerHost]\nPort=abc\n", "drvorvel.ini [ServerHost] Port=abc is not a number; using \"12543\""},
    {"[ServerHost]\nPort=70000\n",
     "drvorvel.ini [ServerHost] Port=70000 is no TCP port (1 to 65535); no connection to the Z8 server can be made"},
    {"[metrics]\nPort=http\n", "drvorvel.ini [metrics] Port=http is not a number; using 0 (metrics off)"},
    {"[main]\nPort=9000\n[ServerHost]\nPort=9001\n",
     "drvorvel.ini [main] Port=9000 has no effect here: Port belongs in [ServerHost] (in effect: \"9001\") or "
     "[metrics] (in effect: 0 (metrics off))"},
    {"[ServerHost]\nComPort=COM3\n",
     "drvorvel.ini [ServerHost] ComPort=COM3 has no effect here: ComPort belongs in [main] (in effect: \"COM255\")"},
    {"[main]\nComPort=COM1\nComPort=COM2\n",
     "drvorvel.ini [main] ComPort=COM2 has no effect: the first ComPort of the section counts (\"COM1\")"},
    {"[main]\nLog=1\n[MAIN]\nLog=0\n",
     "drvorvel.ini [MAIN] Log=0 has no effect: only the first [MAIN] section counts; Log is \"1\""},
    {"[main]\nSpeed=9600\n", "drvorvel.ini [main] Speed=9600 has no effect: the driver reads no such key"},
    {"[server]\nhost=10.1.1.1\n",
     "drvorvel.ini [server] host=10.1.1.1 has no effect here: host belongs in [main] (in effect: \"localhost\")"},
    {"[Z8]\nretry=5\n", "drvorvel.ini [Z8] retry=5 has no effect: the driver reads no section [Z8]"},
    {"[ports]\nttyUSB0=/dev/ttyUSB0\n",
     "drvorvel.ini [ports] ttyUSB0=/dev/ttyUSB0 has no effect: [ports] maps COM names such as COM3"},
};

TEST(ConfigurationWarnings, EachMistakeGivesItsLine) {
    drvtest::TempDir dir;
    for (const Mistake& m : kMistakes) {
        dir.write("drvorvel.ini", m.ini);
        EXPECT_EQ(drv::ConfigurationWarnings(dir.file("drvorvel.ini")), std::vector<std::string>{m.line}) << m.ini;
    }
}

TEST(ConfigurationWarnings, AGoodFileGivesNoneAndAMissingOneSaysSo) {
    drvtest::TempDir dir;
    dir.write("drvorvel.ini",
              "; comment\n[main]\nComPort=COM3\nSendZ8=0x1\nAttention=01:30\n[ServerHost]\nAddress=server\n"
              "Port=$3101\n[ports]\nCOM3=/dev/ttyUSB0\n[metrics]\nPort=9788\n");
    EXPECT_TRUE(drv::ConfigurationWarnings(dir.file("drvorvel.ini")).empty());
    EXPECT_EQ(drv::ConfigurationLine(dir.path()),
              "configuration: station port COM3 (/dev/ttyUSB0), Z8 server server:12545, no Z7 link, spool directory " +
                  dir.path() + "/, SendZ7=0, SendZ8=1, metrics at http://127.0.0.1:9788/metrics");
    EXPECT_EQ(drv::ConfigurationWarnings(dir.file("none.ini")),
              std::vector<std::string>{"no " + dir.file("none.ini") + ": every setting has its default"});
}

}  // namespace
