// Decompression of a whole gzip file with zlib's inflate, independent of the gz* file functions.
#pragma once

#include <sys/wait.h>
#include <zlib.h>

#include <cstdlib>
#include <string>

// False when the data is not one complete, intact gzip stream. consumed: the bytes that stream
// took, so a caller can tell whether anything follows it.
inline bool InflateGzip(const std::string& compressed, std::string& out, size_t* consumed = nullptr) {
  out.clear();
  z_stream strm{};
  if (inflateInit2(&strm, 16 + MAX_WBITS) != Z_OK) return false;
  strm.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
  strm.avail_in = static_cast<uInt>(compressed.size());
  char buffer[65536];
  int result = Z_OK;
  while (result == Z_OK) {
    strm.next_out = reinterpret_cast<Bytef*>(buffer);
    strm.avail_out = sizeof buffer;
    result = inflate(&strm, Z_NO_FLUSH);
    out.append(buffer, sizeof buffer - strm.avail_out);
    if (result == Z_BUF_ERROR && strm.avail_in == 0) break;  // cut off before its end
  }
  if (consumed != nullptr) *consumed = compressed.size() - strm.avail_in;
  inflateEnd(&strm);
  return result == Z_STREAM_END;
}

// Whether gzip itself finds the file one or more intact gzip members.
inline bool GzipTestPasses(const std::string& path) {
  const std::string command = "gzip -t '" + path + "' 2>/dev/null";
  const int status = system(command.c_str());
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
