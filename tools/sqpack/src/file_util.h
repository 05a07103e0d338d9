// The file operations the tool needs, portable between Linux and Windows:
// UTF-8 paths, 64-bit positions, and output written under a temporary name in
// the target's folder and renamed over the target only once it is complete.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

namespace sqpack {

namespace fs = std::filesystem;

fs::path PathFromUtf8(const std::string& utf8);
std::string PathToUtf8(const fs::path& path);

// fopen(path, "rb"); null on failure.
std::FILE* OpenForReading(const fs::path& path);
bool SeekTo(std::FILE* file, std::uint64_t position);

// True when stderr is a terminal (for progress output).
bool StderrIsTerminal();

// A file being written. Bytes go to a fresh temporary file beside the target;
// Commit renames it over the target. Until then the target is untouched, and
// the temporary is removed when the object goes away without a commit (or
// when the process is interrupted by Ctrl-C).
class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();

  bool Open(const fs::path& target, std::string* error);
  bool Write(const void* data, std::size_t size);
  bool Commit(std::string* error);

 private:
  void Discard();

  fs::path target_;
  fs::path temporary_;
  std::FILE* file_ = nullptr;
  bool failed_ = false;
};

}  // namespace sqpack
