#include "dialogs/WorkerThread.h"

#include <sys/resource.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cerrno>
#include <chrono>
#include <system_error>

CWorkerThread::~CWorkerThread() { Join(); }

bool CWorkerThread::Start(std::function<void()> body) {
  Join();
  m_bDone = false;
  try {
    m_thread = std::thread([this, body = std::move(body)] {
      LowerThreadPriority();
      body();
      m_bDone = true;
    });
  } catch (const std::system_error&) {
    m_bDone = true;
    return false;
  }
  return true;
}

void CWorkerThread::Join() {
  if (!m_thread.joinable()) return;
  while (!m_bDone) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    if (!m_bDone) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  m_thread.join();
}

void CWorkerThread::LowerThreadPriority() {
  const pid_t tid = ::gettid();
  errno = 0;
  int current = ::getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
  if (current == -1 && errno != 0) current = 0;
  // A thread left at normal priority still does its work: a refusal changes nothing else.
  (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), current + 5);
}
