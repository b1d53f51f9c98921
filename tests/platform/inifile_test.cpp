#include "platform/inifile.h"

#include <gtest/gtest.h>

#include <cmath>

#include "platform/cp1251.h"
#include "platform/datetime.h"
#include "tests/support/tempdir.h"

using drv::IniFile;

TEST(IniRead, NamesIgnoreCaseAndValuesAreTrimmed) {
    const IniFile ini = IniFile::FromText(
        "; comment\r\n[Main]\r\n  ComPort =  COM3  \r\nfirstnumber=0x0A\r\n[main]\r\nComPort=COM9\r\n");
    EXPECT_EQ(ini.ReadString("MAIN", "comport", "x"), "COM3");  // first section of the name wins
    EXPECT_EQ(ini.ReadInteger("main", "FirstNumber", 4), 10);
    EXPECT_EQ(ini.ReadString("main", "missing", "def"), "def");
    EXPECT_EQ(ini.ReadString("other", "ComPort", "def"), "def");
}

TEST(IniRead, KeysBeforeAnySectionAndLinesWithoutEqualsAreIgnored) {
    const IniFile ini = IniFile::FromText("Log=1\n[main]\nnot a key\n=5\nLog=1");
    EXPECT_TRUE(ini.ReadBool("main", "Log", false));
    EXPECT_EQ(ini.Value("main", "not a key"), std::nullopt);
}

TEST(IniRead, LongValuesAreCutAt2047Characters) {
    const std::string big(3000, 'a');
    const IniFile ini = IniFile::FromText("[s]\nk=" + big + "\n");
    EXPECT_EQ(ini.ReadString("s", "k", "").size(), 2047u);
}

TEST(IniRead, IntegerForms) {
    EXPECT_EQ(drv::ParseProfileInteger("42"), 42);
    EXPECT_EQ(drv::ParseProfileInteger("-17"), -17);
    EXPECT_EQ(drv::ParseProfileInteger("+8"), 8);
    EXPECT_EQ(drv::ParseProfileInteger("0x1f"), 31);
    EXPECT_EQ(drv::ParseProfileInteger("0X1F"), 31);
    EXPECT_EQ(drv::ParseProfileInteger("$FF"), 255);
    EXPECT_EQ(drv::ParseProfileInteger("0xFFFFFFFF"), -1);
    EXPECT_EQ(drv::ParseProfileInteger("2147483647"), 2147483647);
    EXPECT_EQ(drv::ParseProfileInteger("-2147483648"), INT32_MIN);
    EXPECT_EQ(drv::ParseProfileInteger("2147483648"), std::nullopt);
    EXPECT_EQ(drv::ParseProfileInteger("0x100000000"), std::nullopt);
    EXPECT_EQ(drv::ParseProfileInteger("abc"), std::nullopt);
    EXPECT_EQ(drv::ParseProfileInteger("12abc"), std::nullopt);
    EXPECT_EQ(drv::ParseProfileInteger("0x"), std::nullopt);
    EXPECT_EQ(drv::ParseProfileInteger(""), std::nullopt);
    EXPECT_EQ(drv::ParseProfileInteger("1.5"), std::nullopt);
}

TEST(IniRead, BooleansAreNumbers) {
    const IniFile ini = IniFile::FromText("[main]\na=false\nb=0\nc=2\nd=true\ne=-1\n");
    EXPECT_TRUE(ini.ReadBool("main", "a", true));  // not a number: default
    EXPECT_FALSE(ini.ReadBool("main", "b", true));
    EXPECT_TRUE(ini.ReadBool("main", "c", false));
    EXPECT_FALSE(ini.ReadBool("main", "d", false));  // not a number: default
    EXPECT_TRUE(ini.ReadBool("main", "e", false));
}

// Files as editors save them: the same two sections must read alike whatever the line ends and the mark.
TEST(IniRead, ByteOrderMarkAndEveryLineEndReadAlike) {
    const std::string body[] = {"[main]", "ComPort=COM3", "[ServerHost]", "Port=7"};
    for (const char* eol : {"\n", "\r\n", "\r"}) {
        for (const char* bom : {"", "\xEF\xBB\xBF"}) {
            std::string text = bom;
            for (const auto& line : body) text += line + eol;
            const IniFile ini = IniFile::FromText(text);
            SCOPED_TRACE(testing::PrintToString(text));
            EXPECT_EQ(ini.ReadString("main", "ComPort", ""), "COM3");
            EXPECT_EQ(ini.ReadInteger("ServerHost", "Port", 0), 7);
        }
    }
}

TEST(IniRead, LaterDuplicateSectionIsIgnoredHoweverSpelled) {
    const IniFile ini = IniFile::FromText("[main]\nLog=1\n[other]\nx=1\n[main]\nComPort=COM9\n[MAIN]\nn_abs=3\n");
    EXPECT_EQ(ini.Value("main", "ComPort"), std::nullopt);
    EXPECT_EQ(ini.Value("main", "n_abs"), std::nullopt);
    EXPECT_TRUE(ini.ReadBool("Main", "Log", false));
}

TEST(IniRead, MissingFileGivesDefaults) {
    drvtest::TempDir dir;
    const IniFile ini(dir.file("none.ini"));
    EXPECT_EQ(ini.ReadInteger("main", "x", 7), 7);
}

TEST(IniWrite, ReplacesOneKeyAndKeepsEveryOtherLine) {
    drvtest::TempDir dir;
    const std::string original = "; settings\r\n[main]\r\nComPort=COM1\r\n  Log = 1 \r\n\r\n[ServerHost]\r\nPort=1\r\n";
    dir.write("a.ini", original);
    ASSERT_TRUE(IniFile::WriteString(dir.file("a.ini"), "MAIN", "comport", "COM7"));
    EXPECT_EQ(dir.read("a.ini"),
              "; settings\r\n[main]\r\ncomport=COM7\r\n  Log = 1 \r\n\r\n[ServerHost]\r\nPort=1\r\n");
}

TEST(IniWrite, AddsMissingKeyAtTheEndOfItsSection) {
    drvtest::TempDir dir;
    dir.write("a.ini", "[main]\nLog=1\n\n[ServerHost]\nPort=1\n");
    ASSERT_TRUE(IniFile::WriteString(dir.file("a.ini"), "main", "ComPort", "COM2"));
    EXPECT_EQ(dir.read("a.ini"), "[main]\nLog=1\nComPort=COM2\n\n[ServerHost]\nPort=1\n");
}

TEST(IniWrite, AddsMissingSectionAndCreatesMissingFile) {
    drvtest::TempDir dir;
    dir.write("a.ini", "[ServerHost]\nPort=1");
    ASSERT_TRUE(IniFile::WriteString(dir.file("a.ini"), "main", "ComPort", "COM2"));
    EXPECT_EQ(dir.read("a.ini"), "[ServerHost]\nPort=1\n[main]\nComPort=COM2\n");
    ASSERT_TRUE(IniFile::WriteString(dir.file("new.ini"), "main", "ComPort", "COM4"));
    EXPECT_EQ(IniFile(dir.file("new.ini")).ReadString("main", "ComPort", ""), "COM4");
    EXPECT_EQ(dir.list(".tmp-write").size(), 0u);
}

TEST(IniWrite, KeepsByteOrderMarkAndLoneCarriageReturns) {
    drvtest::TempDir dir;
    dir.write("a.ini", "\xEF\xBB\xBF[main]\rComPort=COM1\rLog=1\r");
    ASSERT_TRUE(IniFile::WriteString(dir.file("a.ini"), "main", "ComPort", "COM2"));
    EXPECT_EQ(dir.read("a.ini"), "\xEF\xBB\xBF[main]\rComPort=COM2\rLog=1\r");
}

TEST(IniWrite, FailsWhenTheDirectoryIsMissing) {
    drvtest::TempDir dir;
    EXPECT_FALSE(IniFile::WriteString(dir.file("no/such/dir.ini"), "main", "ComPort", "COM4"));
}

TEST(DateTime, EpochAndRoundTrip) {
    EXPECT_DOUBLE_EQ(drv::EncodeDateTime({1899, 12, 30, 0, 0, 0, 0}), 0.0);
    EXPECT_DOUBLE_EQ(drv::EncodeDateTime({1900, 1, 1, 12, 0, 0, 0}), 2.5);
    const drv::DateTimeParts p{2026, 12, 8, 12, 30, 15, 250};
    const auto back = drv::DecodeDateTime(drv::EncodeDateTime(p));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->year, 2026);
    EXPECT_EQ(back->month, 12);
    EXPECT_EQ(back->day, 8);
    EXPECT_EQ(back->hour, 12);
    EXPECT_EQ(back->minute, 30);
    EXPECT_EQ(back->second, 15);
    EXPECT_EQ(back->msec, 250);
    EXPECT_FALSE(drv::DecodeDateTime(std::nan("")));
}

TEST(DateTime, TimeTextParsing) {
    EXPECT_DOUBLE_EQ(*drv::ParseTimeText("00:00:30"), 30.0 / 86400);
    EXPECT_DOUBLE_EQ(*drv::ParseTimeText("01:30"), 5400.0 / 86400);
    EXPECT_DOUBLE_EQ(*drv::ParseTimeText(" 00:10:00 "), 600.0 / 86400);
    EXPECT_FALSE(drv::ParseTimeText("25:00:00"));
    EXPECT_FALSE(drv::ParseTimeText("ten"));
    EXPECT_FALSE(drv::ParseTimeText("10"));
    EXPECT_FALSE(drv::ParseTimeText("00:60"));
    EXPECT_FALSE(drv::ParseTimeText("1:2:3:4"));
    EXPECT_FALSE(drv::ParseTimeText(""));
}

TEST(DateTime, FormatLeavesOutMidnightOnlyWhenAsked) {
    const double midnight = drv::EncodeDateTime({2026, 12, 9, 0, 0, 0, 0});
    EXPECT_EQ(drv::FormatDateTime(midnight, true), "09.12.2026");
    EXPECT_EQ(drv::FormatDateTime(midnight, false), "09.12.2026 0:00:00");
    EXPECT_EQ(drv::FormatDateTime(drv::EncodeDateTime({2026, 1, 2, 13, 4, 5, 0}), true), "02.01.2026 13:04:05");
}

TEST(Cp1251, RoundTripOfRussianText) {
    const std::string cp = drv::Utf8ToCp1251("ошибка №9");
    EXPECT_EQ(cp, std::string("\xEE\xF8\xE8\xE1\xEA\xE0 \xB9"
                              "9"));
    EXPECT_EQ(drv::Cp1251ToUtf8(cp), "ошибка №9");
}
