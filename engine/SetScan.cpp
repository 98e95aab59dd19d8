#include "engine/SetScan.h"

#include "storage/CompressedFile.h"
#include "storage/ReadAheadFile.h"

CSetScan::CSetScan(IEngineUI* ui, char* copyBuffer) : m_pUI(ui), m_reader(copyBuffer) {}

CSetScan::~CSetScan() {
  // The read-ahead stream reads its source until it is closed: it goes first.
  m_ahead.reset();
  m_file.reset();
}

bool CSetScan::Open(const std::string& path, bool readAhead) {
  auto file = std::make_unique<CCompressedFile>();
  if (!file->Open(path.c_str(), 2)) return false;
  m_file = std::move(file);
  if (readAhead) m_ahead = std::make_unique<CReadAheadFile>(*m_file);
  return true;
}

void CSetScan::ShowDamage() {
  if (m_bDamageShown) return;
  m_bDamageShown = true;
  if (m_pUI != nullptr) m_pUI->ShowMessage("error reading");
}

CSetScan::Result CSetScan::Run(Visitor& visitor) {
  CStreamFile* stream = m_ahead ? m_ahead.get() : m_file.get();
  if (stream == nullptr || m_bDamaged) return Result::Damaged;
  if (m_bEnded) return Result::End;
  for (;;) {
    if (!visitor.Next()) {
      m_bStopped = true;
      return Result::Stopped;
    }
    CEntryReader::Entry entry;
    bool opened = false;
    const CEntryReader::Result read = m_reader.ExtractEntry(*stream, entry, [&](CEntryReader::Entry& e) {
      opened = true;
      return visitor.Open(e);
    });
    Step step = Step::Damaged;
    if (read == CEntryReader::Result::End) {
      if (visitor.Ended()) {
        m_bEnded = true;
        return Result::End;
      }
    } else if (opened) {
      step = visitor.Close(entry, read == CEntryReader::Result::Entry);
      if (read != CEntryReader::Result::Entry) step = Step::Damaged;
    }
    if (step == Step::Stop) {
      m_bStopped = true;
      return Result::Stopped;
    }
    if (step == Step::Damaged) {
      m_bDamaged = true;
      ShowDamage();
      return Result::Damaged;
    }
  }
}

namespace {

class CEach : public CSetScan::Visitor {
 public:
  explicit CEach(const std::function<bool(const CEntryReader::Entry&)>& each) : m_each(each) {}
  CSetScan::Step Close(CEntryReader::Entry& entry, bool whole) override {
    return !whole || m_each(entry) ? CSetScan::Step::Go : CSetScan::Step::Stop;
  }

 private:
  const std::function<bool(const CEntryReader::Entry&)>& m_each;
};

}  // namespace

CSetScan::Result CSetScan::Run(const std::function<bool(const CEntryReader::Entry&)>& each) {
  CEach visitor(each);
  return Run(visitor);
}

CSetScan::Result CSetScan::Run() {
  Visitor nothing;
  return Run(nothing);
}

bool CSetScan::Close() {
  bool closed = true;
  if (m_ahead) closed = m_ahead->Close();
  else if (m_file) closed = m_file->Close();
  m_ahead.reset();
  m_file.reset();
  if (!closed && !m_bStopped && !m_bDamaged) {
    m_bDamaged = true;
    ShowDamage();
  }
  return !m_bDamaged;
}
