// Makes starting a thread fail for real, for as long as the object lives: the address space is
// limited to what the process uses now plus a little, so a new thread's stack cannot be mapped
// and std::thread throws std::system_error. The C library keeps the stacks of ended threads for
// reuse; enough threads are held alive first that none of those is left to hand out.
// Under the address sanitizer the limit is never set: the sanitizer maps memory of its own for
// every thread at any moment (its fake stacks), and a refused mapping aborts the process.
#pragma once

#include <sys/resource.h>
#include <unistd.h>

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fern_test {

class NoThreadStart {
 public:
  NoThreadStart() {
    for (int i = 0; i < 12; ++i)
      m_holders.emplace_back([this] {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_wake.wait(lock, [this] { return m_release; });
      });
#if defined(__SANITIZE_ADDRESS__)
    return;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return;
#endif
#endif
    if (getrlimit(RLIMIT_AS, &m_old) != 0) return;
    rlimit limit = m_old;
    limit.rlim_cur = VirtualSize() + (2u << 20);
    m_active = limit.rlim_cur < m_old.rlim_max && setrlimit(RLIMIT_AS, &limit) == 0;
  }
  ~NoThreadStart() {
    if (m_active) setrlimit(RLIMIT_AS, &m_old);
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_release = true;
    }
    m_wake.notify_all();
    for (std::thread& t : m_holders) t.join();
  }
  // Whether the limit is in place (never under the address sanitizer).
  bool Active() const { return m_active; }

 private:
  static rlim_t VirtualSize() {
    std::ifstream statm("/proc/self/statm");
    rlim_t pages = 0;
    statm >> pages;
    return pages * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
  }

  std::vector<std::thread> m_holders;
  std::mutex m_mutex;
  std::condition_variable m_wake;
  bool m_release = false;
  rlimit m_old{};
  bool m_active = false;
};

}  // namespace fern_test
