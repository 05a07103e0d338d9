// sqpack: builds, lists, verifies and extracts the update container
// UpdateData.dat that the Starquill 1.30 updater reads its payloads from.
//
//   sqpack create OUT.dat [--layout wide|narrow] FILE...
//   sqpack list FILE.dat [--json]
//   sqpack verify FILE.dat [--expect NAME...]
//   sqpack extract FILE.dat [NAME...] [-C DIR]
//
// Exit status: 0 success, 1 a problem with the container or an input,
// 2 a usage error.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#endif

#include "container_reader.h"
#include "file_util.h"
#include "payload/container_format.h"
#include "text_encoding.h"

namespace sqpack {
namespace {

// The 11 signature bytes of every container sqpack writes: "SQPACK", the
// end-of-file mark 0x1A (so that `type` on a console stops there) and four
// NULs. The updater does not examine them.
constexpr std::uint8_t Signature[container::SignatureSize] = {'S', 'Q', 'P', 'A', 'C', 'K', 0x1A, 0, 0, 0, 0};

constexpr std::size_t CopyBufferSize = 1 << 20;
constexpr std::uint64_t ProgressThreshold = 64ull << 20;

constexpr int ExitOk = 0;
constexpr int ExitProblem = 1;
constexpr int ExitUsage = 2;

const char Usage[] =
    "usage: sqpack create OUT.dat [--layout wide|narrow] FILE...\n"
    "       sqpack list FILE.dat [--json]\n"
    "       sqpack verify FILE.dat [--expect NAME...]\n"
    "       sqpack extract FILE.dat [NAME...] [-C DIR]\n";

void Error(const std::string& message) { std::fprintf(stderr, "sqpack: %s\n", message.c_str()); }

int UsageError(const std::string& message) {
  Error(message);
  std::fputs(Usage, stderr);
  return ExitUsage;
}

std::string Quote(const std::string& utf8) { return "\"" + utf8 + "\""; }

const char* LayoutName(std::uint8_t mark) { return mark == container::WideLayoutMark ? "wide" : "narrow"; }

// Shows how far a long copy has come, on a terminal only.
class Progress {
 public:
  Progress(const std::string& label, std::uint64_t total)
      : label_(label), total_(total), shown_(total > ProgressThreshold && StderrIsTerminal()) {}
  ~Progress() {
    if (shown_) std::fprintf(stderr, "\r%s: done.   \n", label_.c_str());
  }
  void Update(std::uint64_t done) {
    if (!shown_) return;
    const unsigned percent = static_cast<unsigned>(done * 100 / total_);
    if (percent == last_) return;
    last_ = percent;
    std::fprintf(stderr, "\r%s: %3u%%", label_.c_str(), percent);
    std::fflush(stderr);
  }

 private:
  std::string label_;
  std::uint64_t total_;
  bool shown_;
  unsigned last_ = 101;
};

// Copies `count` bytes from `in` (at its position) to `out`. False on a
// short read or a failed write.
bool Copy(std::FILE* in, OutputFile* out, std::uint64_t count, const std::string& label) {
  std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[CopyBufferSize]);
  Progress progress(label, count);
  std::uint64_t done = 0;
  while (done < count) {
    const std::size_t want =
        count - done < CopyBufferSize ? static_cast<std::size_t>(count - done) : CopyBufferSize;
    const std::size_t got = std::fread(buffer.get(), 1, want, in);
    if (got != want || !out->Write(buffer.get(), got)) return false;
    done += got;
    progress.Update(done);
  }
  return true;
}

// ---------------------------------------------------------------- create

struct Input {
  std::string argument;  // as given, UTF-8
  fs::path path;
  std::string name;      // Shift-JIS
  std::uint64_t size = 0;
};

int Create(const std::vector<std::string>& args) {
  std::string outName;
  std::uint8_t mark = container::WideLayoutMark;
  std::vector<Input> inputs;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!optionsEnded && arg == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && arg == "--layout") {
      if (i + 1 >= args.size()) return UsageError("--layout needs wide or narrow");
      const std::string& layout = args[++i];
      if (layout == "wide") {
        mark = container::WideLayoutMark;
      } else if (layout == "narrow") {
        mark = container::NarrowLayoutMark;
      } else {
        return UsageError("unknown layout " + Quote(layout) + "; use wide or narrow");
      }
    } else if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
      return UsageError("unknown option " + Quote(arg));
    } else if (outName.empty()) {
      outName = arg;
    } else {
      Input input;
      input.argument = arg;
      input.path = PathFromUtf8(arg);
      inputs.push_back(input);
    }
  }
  if (outName.empty()) return UsageError("create needs an output file");
  if (inputs.empty()) return UsageError("create needs at least one input file");
  if (inputs.size() > 0xFFFFFFFFu) return UsageError("too many input files");

  // Check every input before writing anything, and report all that are wrong.
  bool ok = true;
  const std::uint32_t maxName = container::MaxNameLength(mark);
  for (Input& input : inputs) {
    std::error_code error;
    const fs::file_status status = fs::status(input.path, error);
    if (!fs::exists(status)) {
      Error(input.argument + ": no such file");
      ok = false;
      continue;
    }
    if (!fs::is_regular_file(status)) {
      Error(input.argument + ": not a regular file");
      ok = false;
      continue;
    }
    input.size = fs::file_size(input.path, error);
    if (error) {
      Error(input.argument + ": cannot read its size: " + error.message());
      ok = false;
      continue;
    }
    const std::string baseName = PathToUtf8(input.path.filename());
    if (input.size == 0) {
      Error(input.argument + ": empty; the updater treats an empty entry as missing");
      ok = false;
    } else if (input.size > 0xFFFFFFFFu) {
      Error(input.argument + ": " + std::to_string(input.size) + " bytes, more than an entry's 32-bit length");
      ok = false;
    }
    if (!Utf8ToShiftJis(baseName, &input.name)) {
      Error(input.argument + ": the name " + Quote(baseName) + " cannot be written in Shift-JIS");
      ok = false;
    } else if (input.name.size() > maxName) {
      Error(input.argument + ": the name " + Quote(baseName) + " is " + std::to_string(input.name.size()) +
            " bytes in Shift-JIS; the " + LayoutName(mark) + " layout holds at most " + std::to_string(maxName));
      ok = false;
    } else if (container::BaseName(input.name.c_str()) != input.name.c_str()) {
      Error(input.argument + ": the name " + Quote(baseName) +
            " holds the byte 0x5C in Shift-JIS, where the updater cuts a name; it could never be found");
      ok = false;
    }
  }
  if (!ok) return ExitProblem;

  const container::Header header{mark, static_cast<std::uint32_t>(inputs.size())};
  const std::uint64_t directorySize = container::DirectorySize(header);
  if (container::HeaderSize + directorySize > 0xFFFFFFFFu) {
    Error(outName + ": too many entries; the directory alone would pass 32-bit positions");
    return ExitProblem;
  }
  std::vector<std::uint8_t> head(static_cast<std::size_t>(container::HeaderSize + directorySize));
  container::EncodeHeader(head.data(), Signature, header);
  std::uint8_t* directory = head.data() + container::HeaderSize;
  std::uint64_t offset = 0;
  for (std::uint32_t i = 0; i < header.entryCount; ++i) {
    const Input& input = inputs[i];
    const container::Location location{static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(input.size)};
    if (offset >= container::OffsetLimit ||
        !container::EntryWithinFile(header, location, UINT64_MAX)) {
      Error(outName + ": too large: " + input.argument + " would end at position " +
            std::to_string(container::HeaderSize + directorySize + offset + input.size) +
            "; the updater reaches entries only at offsets below 2^31 and positions within 32 bits");
      return ExitProblem;
    }
    container::EncodeNameField(directory, header, i, reinterpret_cast<const std::uint8_t*>(input.name.data()),
                               static_cast<std::uint32_t>(input.name.size()));
    container::EncodeLocation(directory, header, i, location);
    offset += input.size;
  }

  for (std::uint32_t i = 0; i < header.entryCount; ++i) {
    for (std::uint32_t j = 0; j < i; ++j) {
      if (SameNameIgnoringCase(inputs[i].name, inputs[j].name)) {
        Error("warning: " + inputs[i].argument + " has the same name as " + inputs[j].argument +
              " to the updater, which reaches only the first");
        break;
      }
    }
  }

  OutputFile out;
  std::string error;
  if (!out.Open(PathFromUtf8(outName), &error)) {
    Error(error);
    return ExitProblem;
  }
  if (!out.Write(head.data(), head.size())) {
    Error(outName + ": write failed");
    return ExitProblem;
  }
  for (const Input& input : inputs) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(OpenForReading(input.path), &std::fclose);
    if (!in) {
      Error(input.argument + ": cannot open: " + std::strerror(errno));
      return ExitProblem;
    }
    if (!Copy(in.get(), &out, input.size, "sqpack: " + input.argument)) {
      Error(input.argument + ": read or write failed (did the file change while it was read?)");
      return ExitProblem;
    }
    if (std::fgetc(in.get()) != EOF) {
      Error(input.argument + ": grew while it was read");
      return ExitProblem;
    }
  }
  if (!out.Commit(&error)) {
    Error(error);
    return ExitProblem;
  }
  return ExitOk;
}

// ---------------------------------------------------------- reading side

struct OpenedContainer {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file{nullptr, &std::fclose};
  DirectoryInfo directory;
};

// Opens a container and decodes its directory. False (with the message
// shown) when the file cannot be read.
bool OpenContainer(const std::string& name, OpenedContainer* opened) {
  const fs::path path = PathFromUtf8(name);
  std::error_code error;
  if (!fs::is_regular_file(path, error)) {
    Error(name + (fs::exists(path, error) ? ": not a regular file" : ": no such file"));
    return false;
  }
  const std::uint64_t fileSize = fs::file_size(path, error);
  opened->file.reset(OpenForReading(path));
  if (error || !opened->file) {
    Error(name + ": cannot open: " + std::strerror(errno));
    return false;
  }
  std::vector<std::uint8_t> bytes(container::HeaderSize);
  const std::size_t got = std::fread(bytes.data(), 1, bytes.size(), opened->file.get());
  const std::uint64_t needed = DirectoryBytesNeeded(bytes.data(), got, fileSize);
  if (needed > got) {
    bytes.resize(static_cast<std::size_t>(needed));
    if (std::fread(bytes.data() + got, 1, bytes.size() - got, opened->file.get()) != bytes.size() - got) {
      Error(name + ": read failed");
      return false;
    }
  }
  opened->directory = ReadDirectory(bytes.data(), needed < got ? static_cast<std::size_t>(needed) : bytes.size(),
                                    fileSize);
  return true;
}

std::string JsonString(const std::string& utf8) {
  std::string out = "\"";
  for (const char c : utf8) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string Hex(const std::string& bytes) {
  std::string out;
  char pair[4];
  for (const char c : bytes) {
    std::snprintf(pair, sizeof pair, "%02x", static_cast<unsigned>(static_cast<unsigned char>(c)));
    out += pair;
  }
  return out;
}

int List(const std::vector<std::string>& args) {
  std::string name;
  bool json = false;
  for (const std::string& arg : args) {
    if (arg == "--json") {
      json = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return UsageError("unknown option " + Quote(arg));
    } else if (name.empty()) {
      name = arg;
    } else {
      return UsageError("list takes one container");
    }
  }
  if (name.empty()) return UsageError("list needs a container");
  OpenedContainer opened;
  if (!OpenContainer(name, &opened)) return ExitProblem;
  const DirectoryInfo& d = opened.directory;
  if (d.header.entryCount != 0 && !d.directoryFits) {
    Error(name + ": directory of " + std::to_string(d.header.entryCount) + " entries (" +
          std::to_string(d.directorySize) + " bytes) runs past the end of the file (" + std::to_string(d.fileSize) +
          " bytes)");
    return ExitProblem;
  }
  if (json) {
    std::printf("{\"file\": %s, \"layout\": \"%s\", \"layout_mark\": %u, \"size\": %llu, \"entries\": [",
                JsonString(name).c_str(), LayoutName(d.header.layoutMark), static_cast<unsigned>(d.header.layoutMark),
                static_cast<unsigned long long>(d.fileSize));
    for (const EntryInfo& e : d.entries) {
      std::printf("%s\n  {\"index\": %u, \"name\": %s, \"name_hex\": \"%s\", \"offset\": %u, \"length\": %u, "
                  "\"position\": %llu, \"usable\": %s, \"found\": %ld}",
                  e.index == 0 ? "" : ",", static_cast<unsigned>(e.index), JsonString(DisplayName(e.name)).c_str(),
                  Hex(e.name).c_str(), static_cast<unsigned>(e.location.offset),
                  static_cast<unsigned>(e.location.length), static_cast<unsigned long long>(e.dataStart),
                  e.usable ? "true" : "false", FindEntry(d, e.name));
    }
    std::printf("%s]}\n", d.entries.empty() ? "" : "\n");
    return ExitOk;
  }
  std::printf("%s: %s layout, %u entries, %llu bytes\n", name.c_str(), LayoutName(d.header.layoutMark),
              static_cast<unsigned>(d.entries.size()), static_cast<unsigned long long>(d.fileSize));
  std::printf("%5s  %10s  %10s  %10s  %s\n", "index", "offset", "length", "position", "name");
  for (const EntryInfo& e : d.entries) {
    std::printf("%5u  %10u  %10u  %10llu  %s\n", static_cast<unsigned>(e.index),
                static_cast<unsigned>(e.location.offset), static_cast<unsigned>(e.location.length),
                static_cast<unsigned long long>(e.dataStart), DisplayName(e.name).c_str());
  }
  return ExitOk;
}

int Verify(const std::vector<std::string>& args) {
  std::string name;
  std::vector<std::string> expected;
  bool inExpect = false;
  for (const std::string& arg : args) {
    if (arg == "--expect") {
      inExpect = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return UsageError("unknown option " + Quote(arg));
    } else if (inExpect) {
      std::string shiftJis;
      if (!Utf8ToShiftJis(arg, &shiftJis)) {
        return UsageError("the name " + Quote(arg) + " cannot be written in Shift-JIS");
      }
      expected.push_back(shiftJis);
    } else if (name.empty()) {
      name = arg;
    } else {
      return UsageError("verify takes one container; give names after --expect");
    }
  }
  if (name.empty()) return UsageError("verify needs a container");
  OpenedContainer opened;
  if (!OpenContainer(name, &opened)) return ExitProblem;
  const std::vector<std::string> problems = CheckContainer(opened.directory, expected);
  for (const std::string& problem : problems) std::printf("%s: %s\n", name.c_str(), problem.c_str());
  if (!problems.empty()) return ExitProblem;
  std::printf("%s: OK, %u entries\n", name.c_str(), static_cast<unsigned>(opened.directory.entries.size()));
  return ExitOk;
}

// A file name that extract may create inside the target folder.
bool SafeFileName(const std::string& utf8) {
  if (utf8.empty() || utf8 == "." || utf8 == "..") return false;
  for (const char c : utf8) {
    if (static_cast<unsigned char>(c) < 0x20 || std::strchr("/\\:*?\"<>|", c) != nullptr) return false;
  }
  return true;
}

int Extract(const std::vector<std::string>& args) {
  std::string name;
  std::vector<std::string> wanted;
  std::string folder = ".";
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-C") {
      if (i + 1 >= args.size()) return UsageError("-C needs a folder");
      folder = args[++i];
    } else if (arg.size() > 1 && arg[0] == '-') {
      return UsageError("unknown option " + Quote(arg));
    } else if (name.empty()) {
      name = arg;
    } else {
      wanted.push_back(arg);
    }
  }
  if (name.empty()) return UsageError("extract needs a container");
  OpenedContainer opened;
  if (!OpenContainer(name, &opened)) return ExitProblem;
  const DirectoryInfo& d = opened.directory;
  if (d.header.entryCount != 0 && !d.directoryFits) {
    Error(name + ": directory runs past the end of the file; nothing to extract");
    return ExitProblem;
  }

  // The entries to write: those asked for as the updater finds them, or every
  // entry the updater can reach.
  bool ok = true;
  std::vector<std::uint32_t> chosen;
  if (!wanted.empty()) {
    for (const std::string& want : wanted) {
      std::string shiftJis;
      const long found = Utf8ToShiftJis(want, &shiftJis) ? FindEntry(d, shiftJis) : -1;
      if (found < 0) {
        Error(name + ": no entry " + Quote(want));
        ok = false;
      } else {
        chosen.push_back(static_cast<std::uint32_t>(found));
      }
    }
  } else {
    for (const EntryInfo& e : d.entries) {
      const long first = FindEntry(d, e.name);
      if (first >= 0 && static_cast<std::uint32_t>(first) != e.index) {
        Error(name + ": skipping entry " + std::to_string(e.index) + " " + Quote(DisplayName(e.name)) +
              ": same name as entry " + std::to_string(first));
        ok = false;
      } else {
        chosen.push_back(e.index);
      }
    }
  }

  std::error_code error;
  fs::create_directories(PathFromUtf8(folder), error);
  std::vector<std::uint32_t> written;
  for (const std::uint32_t index : chosen) {
    bool already = false;
    for (const std::uint32_t w : written) already = already || w == index;
    if (already) continue;
    const EntryInfo& e = d.entries[index];
    const std::string label = "entry " + std::to_string(index) + " " + Quote(DisplayName(e.name));
    std::string fileName;
    if (!e.usable) {
      Error(name + ": " + label + " cannot be opened by the updater (empty, or outside the file); not written");
      ok = false;
      continue;
    }
    if (!e.terminated || !ShiftJisToUtf8(e.name, &fileName) || !SafeFileName(fileName)) {
      Error(name + ": " + label + " is not a safe file name; not written");
      ok = false;
      continue;
    }
    OutputFile out;
    std::string message;
    const fs::path target = PathFromUtf8(folder) / PathFromUtf8(fileName);
    if (!out.Open(target, &message)) {
      Error(message);
      ok = false;
      continue;
    }
    if (!SeekTo(opened.file.get(), e.dataStart) ||
        !Copy(opened.file.get(), &out, e.location.length, "sqpack: " + fileName) || !out.Commit(&message)) {
      Error(name + ": " + label + ": " + (message.empty() ? "read or write failed" : message));
      ok = false;
      continue;
    }
    written.push_back(index);
  }
  return ok ? ExitOk : ExitProblem;
}

int Run(const std::vector<std::string>& argv) {
  if (argv.size() < 2) return UsageError("no command");
  const std::string& command = argv[1];
  const std::vector<std::string> args(argv.begin() + 2, argv.end());
  if (command == "create") return Create(args);
  if (command == "list") return List(args);
  if (command == "verify") return Verify(args);
  if (command == "extract") return Extract(args);
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(Usage, stdout);
    return ExitOk;
  }
  return UsageError("unknown command " + Quote(command));
}

}  // namespace
}  // namespace sqpack

int main(int argc, char** argv) {
  std::vector<std::string> args;
#ifdef _WIN32
  // The arguments as UTF-8, whatever the ANSI code page.
  (void)argc;
  (void)argv;
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  for (int i = 0; wide != nullptr && i < count; ++i) args.push_back(sqpack::PathToUtf8(sqpack::fs::path(wide[i])));
  LocalFree(wide);
  SetConsoleOutputCP(CP_UTF8);
#else
  args.assign(argv, argv + argc);
#endif
  return sqpack::Run(args);
}
