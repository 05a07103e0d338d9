// update_bench: times the updater's file replacement against plain CopyFileA.
//
//   update_bench.exe PAYLOAD_DIR LOOSE_DIR INSTALL_A INSTALL_B [RUNS]
//
// PAYLOAD_DIR holds UpdateData.dat; LOOSE_DIR holds the same seven payloads as
// loose files. Each run times, in this order:
//   A  SetCurrentDirectory(PAYLOAD_DIR) + ApplyUpdateFiles(nullptr, INSTALL_A)
//   B  CopyFileA of the seven loose payloads into INSTALL_B
// Before each timed section the folder about to be written is emptied of the
// seven targets and a scratch file the size of the payloads is written there
// and deleted, so that both sides start from the same state and write into
// memory the system has just used. Runs alternate
// A B A B ...; each run, the medians and the ratio A/B are printed.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "install/update_files.h"
#include "platform/win32_api.h"

namespace {

std::string g_lastMessage;

// ApplyUpdateFiles reports a failure through a message box; here it must not
// block, so the text is kept for the report instead.
int WINAPI RecordMessage(HWND, LPCSTR text, LPCSTR, UINT) {
  g_lastMessage = text != nullptr ? text : "";
  return IDOK;
}

std::string Join(const std::string& dir, const char* name) { return dir + "\\" + name; }

double Seconds(LARGE_INTEGER start, LARGE_INTEGER end, LARGE_INTEGER frequency) {
  return static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

// Removes the seven targets from `dir` (missing ones are fine).
void RemoveTargets(const std::string& dir) {
  for (int i = 0; UpdateTargetNames[i] != nullptr; ++i) ::DeleteFileA(Join(dir, UpdateTargetNames[i]).c_str());
}

// Writes `bytes` bytes of a scratch file into `dir`, then deletes it, so the
// memory the timed section is about to fill has just been touched.
bool TouchScratch(const std::string& dir, unsigned long long bytes) {
  const std::string path = Join(dir, "bench-scratch.tmp");
  const HANDLE file = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  static std::vector<char> block(4u << 20, '\x5a');
  bool ok = true;
  while (ok && bytes > 0) {
    const DWORD chunk = static_cast<DWORD>(std::min<unsigned long long>(bytes, block.size()));
    DWORD written = 0;
    ok = ::WriteFile(file, block.data(), chunk, &written, nullptr) && written == chunk;
    bytes -= chunk;
  }
  ::CloseHandle(file);
  ::DeleteFileA(path.c_str());
  return ok;
}

std::vector<unsigned long long> g_sizes;

unsigned long long LooseTotal(const std::string& looseDir) {
  unsigned long long total = 0;
  for (int i = 0; UpdateSourceNames[i] != nullptr; ++i) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExA(Join(looseDir, UpdateSourceNames[i]).c_str(), GetFileExInfoStandard, &data)) {
      std::fprintf(stderr, "update_bench: missing loose payload %s\n", UpdateSourceNames[i]);
      std::exit(2);
    }
    g_sizes.push_back(static_cast<unsigned long long>(data.nFileSizeHigh) << 32 | data.nFileSizeLow);
    total += g_sizes.back();
  }
  return total;
}

void Prepare(const std::string& writeDir, unsigned long long bytes) {
  RemoveTargets(writeDir);
  if (!TouchScratch(writeDir, bytes)) {
    std::fprintf(stderr, "update_bench: cannot write a scratch file in %s\n", writeDir.c_str());
    std::exit(2);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5 || argc > 6) {
    std::fprintf(stderr, "usage: update_bench PAYLOAD_DIR LOOSE_DIR INSTALL_A INSTALL_B [RUNS]\n");
    return 2;
  }
  const std::string payloadDir = argv[1];
  const std::string looseDir = argv[2];
  const std::string installA = argv[3];
  const std::string installB = argv[4];
  const int runs = argc == 6 ? std::atoi(argv[5]) : 5;
  if (runs < 1) {
    std::fprintf(stderr, "update_bench: RUNS must be at least 1\n");
    return 2;
  }
  win32.MessageBoxA = RecordMessage;

  const unsigned long long total = LooseTotal(looseDir);
  std::printf("payload bytes: %llu (%.1f MiB) in 7 files; %d alternating runs (A then B)\n", total,
              static_cast<double>(total) / 1048576.0, runs);

  LARGE_INTEGER frequency;
  ::QueryPerformanceFrequency(&frequency);
  std::vector<double> timesA;
  std::vector<double> timesB;

  for (int run = 1; run <= runs; ++run) {
    // A: the updater, reading UpdateData.dat from the current directory.
    Prepare(installA, total);
    if (!::SetCurrentDirectoryA(payloadDir.c_str())) {
      std::fprintf(stderr, "update_bench: cannot enter %s\n", payloadDir.c_str());
      return 2;
    }
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    ::QueryPerformanceCounter(&start);
    const int applied = ApplyUpdateFiles(nullptr, installA.c_str());
    ::QueryPerformanceCounter(&end);
    if (!applied) {
      std::fprintf(stderr, "update_bench: ApplyUpdateFiles failed (%s)\n", g_lastMessage.c_str());
      return 1;
    }
    const double a = Seconds(start, end, frequency);
    timesA.push_back(a);

    // B: CopyFileA of the same bytes as loose files.
    Prepare(installB, total);
    ::QueryPerformanceCounter(&start);
    for (int i = 0; UpdateSourceNames[i] != nullptr; ++i) {
      if (!::CopyFileA(Join(looseDir, UpdateSourceNames[i]).c_str(),
                       Join(installB, UpdateTargetNames[i]).c_str(), FALSE)) {
        std::fprintf(stderr, "update_bench: CopyFileA %s failed (error %lu)\n", UpdateSourceNames[i],
                     ::GetLastError());
        return 1;
      }
    }
    ::QueryPerformanceCounter(&end);
    const double b = Seconds(start, end, frequency);
    timesB.push_back(b);

    std::printf("run %d: A ApplyUpdateFiles %7.3f s (%6.1f MiB/s)   B CopyFileA %7.3f s (%6.1f MiB/s)\n",
                run, a, static_cast<double>(total) / 1048576.0 / a, b, static_cast<double>(total) / 1048576.0 / b);
    std::fflush(stdout);
  }

  // The last run's outputs stay in both folders for the caller to compare.
  const double medianA = Median(timesA);
  const double medianB = Median(timesB);
  std::printf("median A (ApplyUpdateFiles from UpdateData.dat): %.3f s\n", medianA);
  std::printf("median B (CopyFileA of loose files):             %.3f s\n", medianB);
  std::printf("ratio A/B: %.3f\n", medianA / medianB);
  return 0;
}
