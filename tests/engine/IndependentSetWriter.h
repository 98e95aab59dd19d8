// A set writer for tests that shares nothing with the program's writer: the byte layout is
// written out here by hand (16-byte little-endian header, name, data) and compressed with plain
// zlib deflate into a gzip stream.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <string>

class CIndependentSetWriter {
 public:
  // One entry; dataLength defaults to the data's length (a larger one makes a set whose last
  // entry is cut short inside its data).
  void AddEntry(const std::string& storedName, const std::string& data, int64_t time,
                int64_t dataLength = -1) {
    uint32_t nameLength = static_cast<uint32_t>(storedName.size());
    uint32_t length = static_cast<uint32_t>(dataLength < 0 ? data.size() : dataLength);
    AddLe(nameLength, 4);
    AddLe(length, 4);
    AddLe(static_cast<uint64_t>(time), 8);
    m_content += storedName;
    m_content += data;
  }

  // Raw bytes appended as they are (damaged headers).
  void AddRaw(const std::string& bytes) { m_content += bytes; }

  // A 16-byte header with the given fields, and nothing after it.
  void AddHeader(uint32_t nameLength, uint32_t dataLength, int64_t time) {
    AddLe(nameLength, 4);
    AddLe(dataLength, 4);
    AddLe(static_cast<uint64_t>(time), 8);
  }

  const std::string& Content() const { return m_content; }

  // Writes the gzip file; keepCompressed < 0 keeps it whole, else only that many bytes of it.
  bool Write(const std::string& path, long keepCompressed = -1) const {
    std::string gz;
    if (!Deflate(m_content, gz)) return false;
    if (keepCompressed >= 0 && static_cast<size_t>(keepCompressed) < gz.size()) gz.resize(keepCompressed);
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    bool ok = fwrite(gz.data(), 1, gz.size(), f) == gz.size();
    return fclose(f) == 0 && ok;
  }

  static bool Deflate(const std::string& in, std::string& out) {
    z_stream z{};
    // windowBits 15 + 16: a gzip wrapper around the deflate data.
    if (deflateInit2(&z, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) return false;
    out.assign(deflateBound(&z, static_cast<uLong>(in.size())) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    int result = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return result == Z_STREAM_END;
  }

 private:
  void AddLe(uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) m_content += static_cast<char>((value >> (8 * i)) & 0xff);
  }

  std::string m_content;
};
