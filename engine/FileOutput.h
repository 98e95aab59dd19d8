// An entry's data written to an open file; the first failed write is the entry's error.
#pragma once

#include <cstdint>
#include <string>

#include "engine/EntryReader.h"

class CFileOutput : public CEntryReader::Output {
 public:
  // fd: open for writing, closed by Finish (or the destructor). path: for the error text.
  CFileOutput(int fd, std::string path, std::string& error) : m_fd(fd), m_path(std::move(path)), m_error(error) {}
  ~CFileOutput() override;
  CFileOutput(const CFileOutput&) = delete;
  CFileOutput& operator=(const CFileOutput&) = delete;

  void Write(const char* data, unsigned length) override;
  // Closes the file. keep: the file is wanted (the data whole and good); its data then reaches
  // the medium first when sync says so. False (the error set) when the file is not to be kept.
  bool Finish(bool keep, bool sync);
  bool Failed() const { return m_bFailed; }
  uint64_t Bytes() const { return m_nBytes; }

 private:
  int m_fd;
  std::string m_path;
  std::string& m_error;
  bool m_bFailed = false;
  uint64_t m_nBytes = 0;
};
