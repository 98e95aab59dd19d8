// The checking pass of a restore: reads the whole set on a thread of its own, over its own
// stream, recording each entry's digest, to learn whether the set's check passes. It writes
// nothing and shows nothing; the restore applies its result once it has joined it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/SetScan.h"

class CVerifyPass {
 public:
  enum class State { Unverified, Good, Damaged };  // Unverified: stopped before the end
  struct Result {
    std::vector<uint32_t> digests;  // one per entry read in full
    State state = State::Unverified;
  };
  // What a join found: no pass was prepared (or none was launched and no stop asked), a stop
  // came before the pass was launched, or the pass ran (its result filled in).
  enum class Outcome { None, Stopped, Done };

  CVerifyPass() = default;
  ~CVerifyPass();  // a pass still running ends at once
  CVerifyPass(const CVerifyPass&) = delete;
  CVerifyPass& operator=(const CVerifyPass&) = delete;

  // Opens the pass's own stream of the set; nothing runs yet. stopped: asked between entries.
  // False when the set cannot be opened.
  bool Prepare(const std::string& setPath, std::function<bool()> stopped);
  // Prepared and not yet joined.
  bool Pending() const { return m_scan != nullptr; }
  // Starts the thread unless it runs. False when no thread was to be had: the pass then ran
  // here, and is to be joined at once.
  bool Launch();
  // A pass still running ends at once (its result is Unverified).
  void Abandon() { m_bAbandon.store(true); }
  // Waits for the pass, if one runs; one prepared but not launched is let go.
  Outcome Join(Result& result);

 private:
  void Read();

  std::thread m_thread;
  std::unique_ptr<std::vector<char>> m_buffer;
  std::unique_ptr<CSetScan> m_scan;  // from Prepare until the join
  bool m_bLaunched = false;
  std::function<bool()> m_stopped;
  std::atomic<bool> m_bAbandon{false};
  Result m_result;  // touched by the thread alone until it is joined
};
