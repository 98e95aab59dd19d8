#include "viewer/SetTreeLoader.h"

#include <chrono>
#include <memory>
#include <vector>

#include "engine/SetScan.h"
#include "storage/SetFormat.h"

namespace {

// Entries are handed to the GUI thread in batches of at most this many, and at least this
// often, so the tree grows visibly while the GUI thread is called far less often than once per
// entry.
constexpr size_t kBatchEntries = 16384;
constexpr int64_t kBatchMs = 50;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

CSetTreeLoader::CSetTreeLoader(QObject& context, IEngineUI& ui, const std::atomic<int>& stop,
                               std::function<void(const CEntryBatch&)> insert)
    : m_context(context), m_ui(ui), m_bStop(stop), m_insert(std::move(insert)) {}

bool CSetTreeLoader::LoadSet(const std::string& setPath) {
  std::vector<char> copyBuffer(fern::kCopyChunk);  // this transfer's own
  CSetScan set(&m_ui, copyBuffer.data());
  // Inflating runs ahead on a thread of its own, beside the entries read here and the tree
  // the GUI thread builds from them.
  const bool opened = set.Open(setPath, true);
  if (opened) {
    m_nLastFlushMs = NowMs();
    set.Run([this](const CEntryReader::Entry& entry) {
      // Added to the tree by the GUI thread, with the rest of its batch.
      m_batch.entries.push_back({m_batch.names.size(), entry.name.size(), entry.size, entry.time});
      m_batch.names.append(entry.name);
      if (m_batch.entries.size() >= kBatchEntries || NowMs() - m_nLastFlushMs >= kBatchMs) HandOverEntries();
      return !m_bStop;
    });
    set.Close();
  }
  HandOverEntries();
  return opened;
}

void CSetTreeLoader::HandOverEntries() {
  if (m_batch.entries.empty()) return;
  auto batch = std::make_shared<CEntryBatch>(std::move(m_batch));
  m_batch = CEntryBatch();
  {
    std::unique_lock<std::mutex> lock(m_batchMutex);
    m_cvBatch.wait(lock, [this] { return m_nBatchesOut < 2; });
    ++m_nBatchesOut;
  }
  // Not waited for: the worker reads the next batch meanwhile. Every later call the worker
  // carries to the GUI thread is queued behind this one.
  QMetaObject::invokeMethod(&m_context, [this, batch] { InsertEntries(*batch); }, Qt::QueuedConnection);
  m_nLastFlushMs = NowMs();
}

void CSetTreeLoader::InsertEntries(const CEntryBatch& batch) {
  m_insert(batch);
  {
    std::lock_guard<std::mutex> lock(m_batchMutex);
    --m_nBatchesOut;
  }
  m_cvBatch.notify_one();
}
