#include "cli/ListOutput.h"
#include "cli/ProgressLine.h"

#include <stdlib.h>
#include <time.h>

#include <string>

#include <gtest/gtest.h>

namespace {

CEntryReader::Entry MakeEntry(const std::string& name, uint32_t size, int64_t time) {
  CEntryReader::Entry entry;
  entry.name = name;
  entry.size = size;
  entry.time = time;
  return entry;
}

// Runs in UTC for its lifetime, so local times are known.
class UtcZone {
 public:
  UtcZone() {
    const char* old = getenv("TZ");
    m_had = old != nullptr;
    if (m_had) m_old = old;
    setenv("TZ", "UTC", 1);
    tzset();
  }
  ~UtcZone() {
    if (m_had)
      setenv("TZ", m_old.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  bool m_had = false;
  std::string m_old;
};

}  // namespace

TEST(ListOutput, JsonStringEscapesWhatJsonAndTerminalsNeed) {
  EXPECT_EQ(JsonString("E:\\docs\\a \"b\".txt"), R"("E:\\docs\\a \"b\".txt")");
  EXPECT_EQ(JsonString("two\nlines\tand\r\x01\x1b[2J\x7f"), R"("two\nlines\tand\r\u0001\u001b[2J\u007f")");
  // Well-formed UTF-8 stays as it is (two, three and four bytes); a C1 control is escaped.
  EXPECT_EQ(JsonString("Caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"), "\"Caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\"");
  EXPECT_EQ(JsonString("c1\xC2\x9B."), R"("c1\u009b.")");
  // Any byte outside well-formed UTF-8 is U+FFFD: a lone continuation, a cut sequence, an
  // overlong form, a surrogate, a code point above U+10FFFF, 0xFF.
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(JsonString("a\x80z"), "\"a" + fffd + "z\"");
  EXPECT_EQ(JsonString("cut\xE2\x82"), "\"cut" + fffd + fffd + "\"");
  EXPECT_EQ(JsonString("\xC0\xAF"), "\"" + fffd + fffd + "\"");
  EXPECT_EQ(JsonString("\xED\xA0\x80"), "\"" + fffd + fffd + fffd + "\"");
  EXPECT_EQ(JsonString("\xF4\x90\x80\x80"), "\"" + fffd + fffd + fffd + fffd + "\"");
  EXPECT_EQ(JsonString("\xFF"), "\"" + fffd + "\"");
}

TEST(ListOutput, LinesCarryTheFourDigitYearAndTheTimeInUtc) {
  UtcZone utc;
  const CEntryReader::Entry entry = MakeEntry("E:\\docs\\plan.txt", 8, 1700000000);
  EXPECT_EQ(PlainListLine(entry), "8 11/14/2023 22:13:20 E:\\docs\\plan.txt");
  EXPECT_EQ(JsonListLine(entry), R"({"name":"E:\\docs\\plan.txt","size":8,"mtime":"2023-11-14T22:13:20Z"})");
  // The year 2000 and after is no longer mistaken for 1900 and after.
  EXPECT_EQ(PlainListLine(MakeEntry("E:\\y", 0, 946684800)), "0 01/01/2000 00:00:00 E:\\y");
  EXPECT_EQ(JsonListLine(MakeEntry("E:\\y", 4294967295u, 946684799)),
            R"({"name":"E:\\y","size":4294967295,"mtime":"1999-12-31T23:59:59Z"})");
  // A time no four-digit year can hold (the field is 64 bits of anything) is null.
  EXPECT_EQ(JsonListLine(MakeEntry("E:\\y", 1, INT64_MAX)), R"({"name":"E:\\y","size":1,"mtime":null})");
  EXPECT_EQ(JsonListLine(MakeEntry("E:\\y", 1, 253402300800)), R"({"name":"E:\\y","size":1,"mtime":null})");
}

TEST(ListOutput, ProgressLineIsThrottledAndTellsRateAndTimeLeft) {
  CProgressLine line;
  line.Start(10000, 100000000);
  EXPECT_TRUE(line.Due(10000));
  EXPECT_FALSE(line.Due(10100));
  EXPECT_FALSE(line.Due(10249));
  EXPECT_TRUE(line.Due(10250));
  EXPECT_FALSE(line.Due(10300));
  // Within the first second: bytes and the estimate only.
  line.Add(1500);
  EXPECT_EQ(line.Text(10500), "1.5 kB of 100.0 MB");
  // 25 MB in 5 s: 5 MB/s, 75 MB left is 15 s.
  line.Add(25000000 - 1500);
  EXPECT_EQ(line.Text(15000), "25.0 MB of 100.0 MB, 5.0 MB/s, 0:15 left");
  line.Add(50000000);
  EXPECT_EQ(line.Text(10000 + 75000000), "75.0 MB of 100.0 MB, 1.0 kB/s, 6:56:40 left");
  // Past the estimate (a drive's used space is no exact figure): no total, no time left.
  line.Add(30000000);
  EXPECT_EQ(line.Text(31000), "105.0 MB, 5.0 MB/s");
  // Unknown total.
  line.Start(0, 0);
  line.Add(999);
  EXPECT_EQ(line.Text(2000), "999 B, 499 B/s");
  EXPECT_EQ(CProgressLine::Bytes(999950), "1.0 MB");
  EXPECT_EQ(CProgressLine::Bytes(1234567890123ull), "1.2 TB");
}
