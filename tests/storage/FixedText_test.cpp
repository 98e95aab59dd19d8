#include "storage/FixedText.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <string>
#include <thread>

#include "storage/SetFormat.h"
#include "tests/storage/GermanLocale.h"

namespace {

// Local time is UTC for the length of a test.
class CUtc {
 public:
  CUtc() {
    const char* old = getenv("TZ");
    m_had = old != nullptr;
    if (m_had) m_saved = old;
    setenv("TZ", "UTC", 1);
    tzset();
  }
  ~CUtc() {
    if (m_had) setenv("TZ", m_saved.c_str(), 1);
    else unsetenv("TZ");
    tzset();
  }

 private:
  bool m_had = false;
  std::string m_saved;
};

TEST(FixedText, NumbersAndDatesReadTheSameUnderAGermanLocale) {
  ferntest::CGermanLocale german;
  std::string why;
  ASSERT_TRUE(german.Enter(why)) << why;
  CUtc utc;

  EXPECT_EQ(fern::FixedFormat("Total: %.1f MB", 400.0), "Total: 400.0 MB");
  EXPECT_EQ(fern::FixedFormat("%d %s %.2f", 12345, "x", 1234.5), "12345 x 1234.50");
  EXPECT_EQ(fern::FormatSetDate(1134052200), "12/08/05 14:30:00");
  EXPECT_EQ(fern::FixedTime("%a %b %d, %Y", 1134052200), "Thu Dec 08, 2005");
  EXPECT_EQ(fern::FixedTime("%a %b %d, %Y", 1133879400), "Tue Dec 06, 2005");

  // A worker thread (a backup's, a restore's) writes the same, and the caller's locale is left
  // as it was: only the helper's own call ran in the "C" locale.
  std::string fromWorker;
  std::thread worker([&] { fromWorker = fern::FixedFormat("Used: %.1fB", 512.0); });
  worker.join();
  EXPECT_EQ(fromWorker, "Used: 512.0B");
  char probe[32];
  snprintf(probe, sizeof probe, "%.1f", 400.0);
  EXPECT_STREQ(probe, "400,0");
}

TEST(FixedText, LongTextsAreWhole) {
  const std::string name(300, 'n');
  const std::string text = fern::FixedFormat("%s: %.1f KB", name.c_str(), 2.25);
  EXPECT_EQ(text, name + ": 2.2 KB");
  // A time that cannot be converted gives an empty text.
  EXPECT_EQ(fern::FixedTime("%Y", INT64_MAX), "");
}

}  // namespace
