// The abstract sequential stream file through which every backup set is written and read.
#pragma once

class CStreamFile {
 public:
  virtual ~CStreamFile() {}
  virtual bool SetMode(int mode) {
    m_nOpenMode = mode;
    return true;
  }
  virtual bool Close() = 0;
  virtual bool IsOpen() = 0;
  virtual bool Write(const void* data, unsigned length) = 0;
  virtual bool WriteString(const char* text) = 0;
  // Uncompressed bytes placed in the buffer; 0 at the end of the stream, -1 when it is damaged.
  virtual int Read(void* buffer, unsigned length) = 0;
  // The whole remaining stream in one block that the caller releases with delete[].
  virtual bool ReadAll(char** block, int* size) = 0;
  virtual int ApplyParameters() = 0;
  // False for a stream opened for reading whose file is not a gzip stream at all (an empty
  // file included): the stream reads such a file as plain bytes, which no set ever is.
  virtual bool IsGzipStream() const { return true; }

  // Stores the level; takes effect at once on a stream open for writing.
  int SetLevel(int level) {
    m_nLevel = level;
    return ApplyParameters();
  }

 protected:
  bool IsWriting() const { return m_nOpenMode == 1; }
  bool IsReading() const { return m_nOpenMode == 2; }

  int m_nOpenMode = 0;   // 0 not opened (or the last open failed), 1 writing, 2 reading
  int m_nLevel = -1;     // compression level; -1 is the library's default
  int m_nStrategy = 0;   // compression strategy; 0 is the library's default
};
