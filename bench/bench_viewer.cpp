// Loading a large set into the viewer, against reading the same set through the storage layer
// alone. The set mixes a few wide folders (entries in no particular order, as a drive's folder
// lists them) with a deep tree, and holds small files, so the tree's own cost shows.
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <cerrno>
#include <thread>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench/BenchFolder.h"
#include "storage/CompressedFile.h"
#include "storage/SetFormat.h"
#include "viewer/ViewBackup.h"

namespace {

std::vector<std::string> MakeNames(int count) {
  std::vector<std::string> names;
  names.reserve(count);
  std::mt19937 random(12345);
  // Four wide folders hold 70% of the entries, shuffled.
  const int wide = count * 7 / 10;
  std::vector<int> order(wide);
  for (int i = 0; i < wide; ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), random);
  for (int i : order) {
    char name[96];
    snprintf(name, sizeof name, "E:\\Wide%d\\Photo %07d.jpg", i % 4, i);
    names.push_back(name);
  }
  // The rest in a tree ten folders wide and five levels deep, a few files per folder.
  for (int i = 0; static_cast<int>(names.size()) < count; ++i) {
    const int leaf = i / 3;
    char name[160];
    snprintf(name, sizeof name, "E:\\Deep\\a%d\\b%d\\c%d\\d%d\\e%d\\file%d.txt", leaf % 10, (leaf / 10) % 10,
             (leaf / 100) % 10, (leaf / 1000) % 10, (leaf / 10000) % 10, i);
    names.push_back(name);
  }
  return names;
}

bool WriteSet(const std::string& path, int count) {
  std::mt19937 random(777);
  CCompressedFile set;
  if (!set.Open(path.c_str(), 1)) return false;
  set.SetLevel(9);
  for (const std::string& name : MakeNames(count)) {
    std::string data(64 + random() % 448, ' ');
    for (char& c : data) c = static_cast<char>('a' + random() % 16);
    fern::EntryHeader header;
    header.nameLength = static_cast<uint32_t>(name.size());
    header.dataLength = static_cast<uint32_t>(data.size());
    header.time = 1133879400 + static_cast<int64_t>(random() % 100000000);
    unsigned char bytes[fern::kEntryHeaderSize];
    fern::EncodeEntryHeader(header, bytes);
    if (!set.Write(bytes, sizeof bytes) || !set.Write(name.data(), header.nameLength) ||
        !set.Write(data.data(), header.dataLength)) {
      set.Close();
      return false;
    }
  }
  return set.Close();
}

double ReadSetHere(const std::string& path, long& entries);

// The viewer's worker runs five steps nicer than the program; the plain read gets the same,
// so that both compete for the processor on equal terms.
void LowerThreadPriority() {
  const id_t tid = static_cast<id_t>(::syscall(SYS_gettid));
  errno = 0;
  const int current = ::getpriority(PRIO_PROCESS, tid);
  if (current != -1 || errno == 0) ::setpriority(PRIO_PROCESS, tid, current + 5);
}

// Seconds to read every header and all data, nothing else, on a worker thread.
double ReadSet(const std::string& path, long& entries) {
  double seconds = -1;
  std::thread worker([&] {
    LowerThreadPriority();
    seconds = ReadSetHere(path, entries);
  });
  worker.join();
  return seconds;
}

// Seconds to read every header and all data, on the calling thread.
double ReadSetHere(const std::string& path, long& entries) {
  QElapsedTimer timer;
  timer.start();
  CCompressedFile set;
  entries = 0;
  if (!set.Open(path.c_str(), 2)) return -1;
  std::vector<char> buffer(fern::kCopyChunk);
  fern::EntryHeader header;
  std::string name;
  while (fern::ReadEntryHeader(set, header, name) == fern::HeaderResult::Entry) {
    uint32_t done = 0;
    while (done < header.dataLength) {
      const unsigned chunk = std::min<uint32_t>(header.dataLength - done, fern::kCopyChunk);
      if (set.Read(buffer.data(), chunk) != static_cast<int>(chunk)) break;
      done += chunk;
    }
    if (done != header.dataLength) break;
    ++entries;
  }
  set.Close();
  return timer.nsecsElapsed() / 1e9;
}

// Seconds from opening the viewer until its loader has finished.
double LoadIntoViewer(const std::string& path, size_t& nodes) {
  CViewBackup view;
  view.SetSetAndDrive(path, "");
  QElapsedTimer timer;
  timer.start();
  view.show();
  // Sleep until the worker hands something over, as the dialog's own event loop would.
  while (view.Busy()) QApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  const double seconds = timer.nsecsElapsed() / 1e9;
  nodes = view.NodeCount();
  return seconds;
}

// User plus system time of the whole process: the loader and the GUI thread together.
double ProcessCpu() {
  struct rusage usage;
  if (getrusage(RUSAGE_SELF, &usage) != 0) return 0;
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);

  fernbench::CBenchFolder bench("viewer", 256);
  if (!bench.Ok()) return 1;
  const std::string folder = bench.Path();
  const std::string set100 = folder + "/BENCH-100000.fcf";
  const std::string set200 = folder + "/BENCH-200000.fcf";
  if (!WriteSet(set100, 100000) || !WriteSet(set200, 200000)) {
    fprintf(stderr, "cannot write the benchmark sets in %s\n", folder.c_str());
    return 1;
  }

  // Each round runs the three in an order reversed from the round before; medians count, and
  // the processor time of the process is printed beside each.
  constexpr int kRuns = 5;
  std::vector<double> reads, loads100, loads200, readCpu, load100Cpu, load200Cpu;
  long entries = 0;
  size_t nodes100 = 0, nodes200 = 0;
  for (int run = 0; run < kRuns; ++run) {
    for (int turn = 0; turn < 3; ++turn) {
      const int which = run % 2 == 0 ? turn : 2 - turn;
      const double cpu = ProcessCpu();
      if (which == 0) {
        reads.push_back(ReadSet(set100, entries));
        readCpu.push_back(ProcessCpu() - cpu);
      } else if (which == 1) {
        loads100.push_back(LoadIntoViewer(set100, nodes100));
        load100Cpu.push_back(ProcessCpu() - cpu);
      } else {
        loads200.push_back(LoadIntoViewer(set200, nodes200));
        load200Cpu.push_back(ProcessCpu() - cpu);
      }
    }
  }
  const double read = fernbench::Median(reads);
  const double load100 = fernbench::Median(loads100);
  const double load200 = fernbench::Median(loads200);
  printf("viewer: %ld entries, %zu nodes (200k set: %zu nodes), sets on %s, median of %d runs\n", entries, nodes100,
         nodes200, bench.Where().c_str(), kRuns);
  printf("viewer_load_s: %.3f, cpu_s: %.3f\n", load100, fernbench::Median(load100Cpu));
  printf("viewer_load_200k_s: %.3f, cpu_s: %.3f\n", load200, fernbench::Median(load200Cpu));
  printf("set_read_s: %.3f, cpu_s: %.3f\n", read, fernbench::Median(readCpu));
  printf("viewer_vs_read: %.2f\n", load100 / read);
  printf("viewer_load_200k_vs_100k: %.2f\n", load200 / load100);
  return 0;
}
