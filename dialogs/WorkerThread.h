// The one worker thread of a window (a run, the viewer's loading or restoring): started at
// below-normal priority, and joined from the GUI thread while the calls the worker carries to
// that thread still get through.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

class CWorkerThread {
 public:
  CWorkerThread() = default;
  ~CWorkerThread();
  CWorkerThread(const CWorkerThread&) = delete;
  CWorkerThread& operator=(const CWorkerThread&) = delete;

  // Joins the previous worker, then runs body on a new thread. False when no thread could be
  // started (std::system_error: no memory for its stack, the process's thread limit): body
  // never runs then, and the caller ends its operation itself.
  bool Start(std::function<void()> body);

  // Whether a started worker has not finished its body yet.
  bool Running() const { return m_thread.joinable() && !m_bDone; }

  // Waits for the worker, processing the GUI thread's events meanwhile (a worker that waits
  // for the GUI thread would otherwise never end). Call it on the GUI thread only.
  void Join();

  // The stand-in for a below-normal thread priority: the calling thread five steps nicer.
  static void LowerThreadPriority();

 private:
  std::thread m_thread;
  std::atomic<bool> m_bDone{true};
};
