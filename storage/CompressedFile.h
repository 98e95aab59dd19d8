// A stream file of a set, which is one plain gzip stream: written with zlib's gzip file
// functions (level 9), read with ISA-L's faster inflate (CGzipReader).
#pragma once

#include <zlib.h>

#include "storage/GzipReader.h"
#include "storage/StreamFile.h"

class CCompressedFile : public CStreamFile {
 public:
  CCompressedFile() = default;
  ~CCompressedFile() override;
  CCompressedFile(const CCompressedFile&) = delete;
  CCompressedFile& operator=(const CCompressedFile&) = delete;

  // mode 1: create or truncate for writing; mode 2: read an existing, writable file.
  bool Open(const char* path, int mode);

  bool Close() override;
  bool IsOpen() override { return m_hFile != nullptr || m_reader.IsOpen(); }
  bool Write(const void* data, unsigned length) override;
  bool WriteString(const char* text) override;
  int Read(void* buffer, unsigned length) override;
  bool ReadAll(char** block, int* size) override;
  int ApplyParameters() override;
  bool IsGzipStream() const override { return m_bGzip; }

 private:
  gzFile m_hFile = nullptr;   // open for writing
  CGzipReader m_reader;       // open for reading
  int m_nCompressedSize = 0;  // length of the file on disk when opened for reading
  bool m_bGzip = true;        // the file opened for reading begins with the gzip magic bytes
};
