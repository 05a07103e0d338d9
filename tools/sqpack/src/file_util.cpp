#include "file_util.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>

#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace sqpack {

namespace {

// The temporary file being written, for the interrupt handler.
#ifdef _WIN32
wchar_t pendingTemporary[32768];
#else
char pendingTemporary[4096];
#endif

extern "C" void RemovePendingAndExit(int signal) {
#ifdef _WIN32
  if (pendingTemporary[0] != 0) _wremove(pendingTemporary);
  _exit(128 + signal);
#else
  if (pendingTemporary[0] != 0) unlink(pendingTemporary);
  _exit(128 + signal);
#endif
}

void SetPending(const fs::path& path) {
  const auto& native = path.native();
  const std::size_t limit = sizeof pendingTemporary / sizeof pendingTemporary[0] - 1;
  const std::size_t count = native.size() < limit ? native.size() : limit;
  pendingTemporary[0] = 0;
  std::memcpy(pendingTemporary + 1, native.c_str() + 1, (count > 0 ? count - 1 : 0) * sizeof pendingTemporary[0]);
  pendingTemporary[count] = 0;
  pendingTemporary[0] = count > 0 ? native[0] : 0;  // set last: the handler sees a whole path or none
  static bool installed = false;
  if (!installed) {
    std::signal(SIGINT, RemovePendingAndExit);
    std::signal(SIGTERM, RemovePendingAndExit);
    installed = true;
  }
}

void ClearPending() { pendingTemporary[0] = 0; }

int OpenExclusive(const fs::path& path) {
#ifdef _WIN32
  return _wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
  return open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
#endif
}

int ProcessId() {
#ifdef _WIN32
  return _getpid();
#else
  return static_cast<int>(getpid());
#endif
}

}  // namespace

fs::path PathFromUtf8(const std::string& utf8) { return fs::u8path(utf8); }

std::string PathToUtf8(const fs::path& path) { return path.u8string(); }

std::FILE* OpenForReading(const fs::path& path) {
#ifdef _WIN32
  return _wfopen(path.c_str(), L"rb");
#else
  return std::fopen(path.c_str(), "rb");
#endif
}

bool SeekTo(std::FILE* file, std::uint64_t position) {
#ifdef _WIN32
  return _fseeki64(file, static_cast<__int64>(position), SEEK_SET) == 0;
#else
  return fseeko(file, static_cast<off_t>(position), SEEK_SET) == 0;
#endif
}

bool StderrIsTerminal() {
#ifdef _WIN32
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(STDERR_FILENO) != 0;
#endif
}

OutputFile::~OutputFile() { Discard(); }

bool OutputFile::Open(const fs::path& target, std::string* error) {
  Discard();
  target_ = target;
  failed_ = false;
  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
  const std::string stem = "." + PathToUtf8(target.filename()) + ".sqpack-" + std::to_string(ProcessId()) + "-";
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path candidate = folder / PathFromUtf8(stem + std::to_string(attempt));
    const int descriptor = OpenExclusive(candidate);
    if (descriptor < 0) {
      if (errno == EEXIST) continue;
      *error = PathToUtf8(target) + ": cannot write in its folder: " + std::strerror(errno);
      return false;
    }
    SetPending(candidate);
    temporary_ = candidate;
#ifdef _WIN32
    file_ = _fdopen(descriptor, "wb");
#else
    file_ = fdopen(descriptor, "wb");
#endif
    if (file_ == nullptr) {
      *error = PathToUtf8(target) + ": cannot write: " + std::strerror(errno);
      Discard();
      return false;
    }
    return true;
  }
  *error = PathToUtf8(target) + ": cannot find a free temporary name in its folder";
  return false;
}

bool OutputFile::Write(const void* data, std::size_t size) {
  if (file_ == nullptr || failed_) return false;
  if (size != 0 && std::fwrite(data, 1, size, file_) != size) failed_ = true;
  return !failed_;
}

bool OutputFile::Commit(std::string* error) {
  if (file_ == nullptr) {
    *error = PathToUtf8(target_) + ": not open";
    return false;
  }
  bool ok = !failed_ && std::fflush(file_) == 0;
#ifndef _WIN32
  ok = ok && fsync(fileno(file_)) == 0;
#endif
  const int savedErrno = errno;
  ok = std::fclose(file_) == 0 && ok;
  file_ = nullptr;
  if (!ok) {
    *error = PathToUtf8(target_) + ": write failed: " + std::strerror(savedErrno != 0 ? savedErrno : errno);
    Discard();
    return false;
  }
#ifdef _WIN32
  ok = MoveFileExW(temporary_.c_str(), target_.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
  const std::string reason = "error " + std::to_string(GetLastError());
#else
  ok = std::rename(temporary_.c_str(), target_.c_str()) == 0;
  const std::string reason = std::strerror(errno);
#endif
  if (!ok) {
    *error = PathToUtf8(target_) + ": cannot replace it: " + reason;
    Discard();
    return false;
  }
  ClearPending();
  temporary_.clear();
  return true;
}

void OutputFile::Discard() {
  if (file_ != nullptr) {
    std::fclose(file_);
    file_ = nullptr;
  }
  if (!temporary_.empty()) {
    std::error_code ignored;
    fs::remove(temporary_, ignored);
    ClearPending();
    temporary_.clear();
  }
}

}  // namespace sqpack
