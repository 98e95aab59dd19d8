// The one loop that reads a set: it opens the set, reads entry after entry and reports damage
// once ("error reading"). The checking pass, the restore, the viewer's load, the picks and
// fernset's list and verify all read sets through it; what each does with an entry is its
// visitor's business.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "engine/EngineUI.h"
#include "engine/EntryReader.h"
#include "storage/StreamFile.h"

class CSetScan {
 public:
  // What a visitor says after an entry: read on, end the scan there (as for a stop), or the
  // entry is damage after all (as a restore finds when it no longer matches the checked set).
  enum class Step { Go, Stop, Damaged };
  enum class Result { End, Damaged, Stopped };

  class Visitor {
   public:
    virtual ~Visitor() = default;
    // Before each entry: false ends the scan (Stopped).
    virtual bool Next() { return true; }
    // After the entry's header and name: where its data goes (null: nowhere).
    virtual CEntryReader::Output* Open(CEntryReader::Entry& entry) {
      (void)entry;
      return nullptr;
    }
    // After its data (whole: read in full; an entry cut short ends the scan as damage whatever
    // this returns).
    virtual Step Close(CEntryReader::Entry& entry, bool whole) {
      (void)entry, (void)whole;
      return Step::Go;
    }
    // The set ended between two entries: false when that is damage after all.
    virtual bool Ended() { return true; }
  };

  // ui: told "error reading" once the set proves damaged; null: nothing is shown (the caller
  // learns it from the result). copyBuffer: 16 KiB owned by the caller, for this scan alone.
  CSetScan(IEngineUI* ui, char* copyBuffer);
  ~CSetScan();
  CSetScan(const CSetScan&) = delete;
  CSetScan& operator=(const CSetScan&) = delete;

  // Opens the set at path; readAhead: inflating runs ahead of the caller on a thread of its own.
  // False when it cannot be opened.
  bool Open(const std::string& path, bool readAhead = false);
  // Reads on from where the last Run ended; each Run takes up the same set.
  Result Run(Visitor& visitor);
  // Reads the rest of the set, writing nothing: whether its check passes.
  Result Run();
  // Hands each entry read whole to each (its data goes nowhere); each returns false to stop.
  Result Run(const std::function<bool(const CEntryReader::Entry&)>& each);
  // Closes the set. A gzip check that fails on closing is damage too (reported), unless the
  // scan was stopped or met damage before. False for a damaged set.
  bool Close();

  // Shows "error reading" unless it was shown; the set itself need not be damaged where the
  // scan is (a checking pass found it further on).
  void ShowDamage();
  bool Damaged() const { return m_bDamaged; }
  // The set's end was read with its check passed.
  bool Ended() const { return m_bEnded; }

 private:
  IEngineUI* m_pUI;
  CEntryReader m_reader;
  std::unique_ptr<CStreamFile> m_file;
  std::unique_ptr<CStreamFile> m_ahead;
  bool m_bDamaged = false;
  bool m_bDamageShown = false;
  bool m_bEnded = false;
  bool m_bStopped = false;
};
