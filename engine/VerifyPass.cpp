#include "engine/VerifyPass.h"

#include <system_error>

#include "storage/SetFormat.h"

namespace {

// Records each whole entry's digest; stops between entries when asked.
class CDigests : public CSetScan::Visitor {
 public:
  CDigests(std::vector<uint32_t>& digests, const std::function<bool()>& stopped)
      : m_digests(digests), m_stopped(stopped) {}
  bool Next() override { return !m_stopped(); }
  CSetScan::Step Close(CEntryReader::Entry& entry, bool whole) override {
    if (whole) m_digests.push_back(entry.digest);
    return CSetScan::Step::Go;
  }

 private:
  std::vector<uint32_t>& m_digests;
  const std::function<bool()>& m_stopped;
};

}  // namespace

CVerifyPass::~CVerifyPass() {
  if (m_thread.joinable()) {
    m_bAbandon.store(true);
    m_thread.join();
  }
}

bool CVerifyPass::Prepare(const std::string& setPath, std::function<bool()> stopped) {
  // Its own copy buffer: the restore's is in use at the same time.
  auto buffer = std::make_unique<std::vector<char>>(fern::kCopyChunk);
  auto scan = std::make_unique<CSetScan>(nullptr, buffer->data());
  if (!scan->Open(setPath)) return false;
  m_buffer = std::move(buffer);
  m_scan = std::move(scan);
  m_stopped = std::move(stopped);
  m_bLaunched = false;
  m_result = Result();
  return true;
}

void CVerifyPass::Read() {
  const std::function<bool()> stopped = [this] { return m_bAbandon.load() || (m_stopped && m_stopped()); };
  CDigests digests(m_result.digests, stopped);
  switch (m_scan->Run(digests)) {
    case CSetScan::Result::End:
      m_result.state = State::Good;
      break;
    case CSetScan::Result::Damaged:
      m_result.state = State::Damaged;
      break;
    case CSetScan::Result::Stopped:
      m_result.state = State::Unverified;
      break;
  }
}

bool CVerifyPass::Launch() {
  if (!m_scan || m_bLaunched) return true;
  m_bLaunched = true;
  try {
    m_thread = std::thread([this] { Read(); });
  } catch (const std::system_error&) {
    Read();  // no thread to be had: the pass runs now
    return false;
  }
  return true;
}

CVerifyPass::Outcome CVerifyPass::Join(Result& result) {
  if (m_thread.joinable()) m_thread.join();
  if (!m_scan) return Outcome::None;
  m_scan.reset();
  m_buffer.reset();
  if (m_bLaunched) {
    result = std::move(m_result);
    return Outcome::Done;
  }
  // Stopped before any file needed the pass: as for a stop seen by the pass.
  if (m_stopped && m_stopped()) return Outcome::Stopped;
  // Else no file replaced an earlier one: the restore's own reading of the set decides.
  return Outcome::None;
}
