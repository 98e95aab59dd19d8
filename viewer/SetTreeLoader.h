// The loading worker: reads the set entry after entry and hands the entries to the GUI thread in
// batches, so that the tree grows visibly while the GUI thread is called far less often than
// once an entry. The tree is built on the GUI thread alone, by the builder.
#pragma once

#include <QObject>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "viewer/SetTreeBuilder.h"

class IEngineUI;

class CSetTreeLoader {
 public:
  using CEntryBatch = CSetTreeBuilder::CEntryBatch;
  // Each batch goes to insert, queued on the GUI thread of context; the worker stops reading
  // once stop is set.
  CSetTreeLoader(QObject& context, IEngineUI& ui, const std::atomic<int>& stop,
                 std::function<void(const CEntryBatch&)> insert);
  CSetTreeLoader(const CSetTreeLoader&) = delete;
  CSetTreeLoader& operator=(const CSetTreeLoader&) = delete;

  // Worker: reads the set to its end (or its damage, or a stop) and hands every entry over.
  // False when the set cannot be opened.
  bool LoadSet(const std::string& setPath);
  // Worker: hands the entries read since the last hand-over to the GUI thread, which adds them
  // to the tree while the worker reads on. Waits only while the GUI thread has not yet
  // finished the batch before the previous one.
  void HandOverEntries();

 private:
  // GUI thread: one batch into the tree.
  void InsertEntries(const CEntryBatch& batch);

  QObject& m_context;
  IEngineUI& m_ui;
  const std::atomic<int>& m_bStop;
  std::function<void(const CEntryBatch&)> m_insert;
  // The worker's batch being filled, handed over whole.
  CEntryBatch m_batch;
  int64_t m_nLastFlushMs = 0;
  // Batches handed over and not yet inserted.
  std::mutex m_batchMutex;
  std::condition_variable m_cvBatch;
  int m_nBatchesOut = 0;
};
