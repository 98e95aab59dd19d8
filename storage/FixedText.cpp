#include "storage/FixedText.h"

#include <locale.h>
#include <stdarg.h>
#include <stdio.h>
#include <time.h>

#include <vector>

namespace fern {

namespace {

// One "C" locale for the process, made on first use; newlocale is thread-safe.
locale_t CLocale() {
  static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return c;
}

// Switches the calling thread (only it) to the "C" locale for its lifetime.
class CThreadCLocale {
 public:
  CThreadCLocale() {
    const locale_t c = CLocale();
    if (c != static_cast<locale_t>(nullptr)) m_previous = uselocale(c);
  }
  ~CThreadCLocale() {
    if (m_previous != static_cast<locale_t>(nullptr)) uselocale(m_previous);
  }
  CThreadCLocale(const CThreadCLocale&) = delete;
  CThreadCLocale& operator=(const CThreadCLocale&) = delete;

 private:
  locale_t m_previous = static_cast<locale_t>(nullptr);
};

}  // namespace

std::string FixedFormat(const char* format, ...) {
  CThreadCLocale cLocale;
  char small[128];
  va_list args;
  va_start(args, format);
  const int length = vsnprintf(small, sizeof small, format, args);
  va_end(args);
  if (length < 0) return std::string();
  if (static_cast<size_t>(length) < sizeof small) return std::string(small, static_cast<size_t>(length));
  std::vector<char> large(static_cast<size_t>(length) + 1);
  va_start(args, format);
  vsnprintf(large.data(), large.size(), format, args);
  va_end(args);
  return std::string(large.data(), static_cast<size_t>(length));
}

std::string FixedTime(const char* format, int64_t time) {
  const time_t t = static_cast<time_t>(time);
  struct tm local {};
  if (localtime_r(&t, &local) == nullptr) return std::string();
  char text[256];
  const locale_t c = CLocale();
  const size_t length = c != static_cast<locale_t>(nullptr) ? strftime_l(text, sizeof text, format, &local, c)
                                                            : strftime(text, sizeof text, format, &local);
  return std::string(text, length);
}

}  // namespace fern
