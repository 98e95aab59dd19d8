// Writes one open file of the drive into a set as its entry: the header, the name and exactly the
// announced number of data bytes, whatever the file does meanwhile, so the set never falls out of
// step. A file of 4 GiB or more goes in as its pieces, one entry each.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>

class CEntryWriter {
 public:
  enum class Outcome {
    Whole,      // the file gave every byte announced
    Short,      // it gave fewer (shrunk, or a read failed): the rest of the entry is zeros
    SetFailed,  // writing the set failed; the entry ends where it failed
  };

  // copyBuffer: 16 KiB used by this writer alone. write: hands bytes to the set, false once
  // writing it failed.
  CEntryWriter(char* copyBuffer, std::function<bool(const void*, unsigned)> write)
      : m_pCopyBuffer(copyBuffer), m_write(std::move(write)) {}

  // The entry (or the pieces) of a file of length bytes read from fd. started: called once the
  // first header went out. readError: for Short, the errno of the failed read or 0 when the file
  // ended early.
  Outcome Write(int fd, const std::string& stored, int64_t time, uint64_t length, int& readError,
                const std::function<void()>& started);

  // The longest name a file of length bytes stored as stored gets in the set: its own, or its
  // pieces' (all of one length).
  static std::string LongestName(const std::string& stored, uint64_t length);

  // read(2), going on after EINTR.
  static ssize_t ReadRetrying(int fd, void* buffer, size_t length);

 private:
  // One entry of length bytes. ended: the file gave out before (nothing more is read from it, the
  // entry is zeros); set when it gives out now. started: called once the header went out.
  Outcome WriteOne(int fd, const std::string& name, int64_t time, uint32_t length, bool& ended, int& readError,
                   const std::function<void()>& started);
  // Whether a file is kept in pieces.
  static bool InPieces(const std::string& stored, uint64_t length);

  char* m_pCopyBuffer;
  std::function<bool(const void*, unsigned)> m_write;
};
