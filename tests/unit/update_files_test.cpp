// ApplyUpdateFiles on a real install folder, with payloads as loose files or
// in UpdateData.dat in the current directory. Only what Wine will not produce
// on demand (a failed allocation, a failed or short read or write, a file of
// 4 GiB, the message box) is swapped in the `win32` table.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "install/update_files.h"
#include "platform/bounded_text.h"
#include "resources/texts.h"
#include "test_support.h"

namespace {

constexpr int FileCount = 7;
const HWND Owner = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(0x5150));

// "エラー" and "ファイルが書き込めません。[delta110.dat]" as Shift-JIS bytes.
constexpr char ErrorCaptionSjis[] = "\x83\x47\x83\x89\x81\x5B";
constexpr char Delta110ErrorSjis[] =
    "\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xAA\x8F\x91\x82\xAB\x8D\x9E\x82\xDF\x82\xDC\x82\xB9\x82\xF1\x81\x42"
    "[delta110.dat]";

// Byte-for-byte equality that reports sizes and the first difference instead
// of printing megabytes.
::testing::AssertionResult SameBytes(const Bytes& actual, const Bytes& expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  const auto difference = std::mismatch(actual.begin(), actual.begin() + std::min(actual.size(), expected.size()),
                                        expected.begin());
  return ::testing::AssertionFailure() << actual.size() << " bytes instead of " << expected.size()
                                       << ", first difference at " << (difference.first - actual.begin());
}

std::string FileError(const char* name) {
  TextBuffer message;
  std::snprintf(message, sizeof message, FileErrorFormat, name);
  return message;
}

class UpdateFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    install_ = scratch_ / "install";
    payloads_ = scratch_ / "payloads";
    ASSERT_TRUE(::CreateDirectoryA(payloads_.c_str(), nullptr));
    for (int i = 0; i < FileCount; ++i) {
      old_.push_back(MakeBytes(100 + i, 1000 + 37 * i));
      new_.push_back(MakeBytes(200 + i, 1500 + 53 * i));
    }
    ASSERT_NO_FATAL_FAILURE(MakeInstall(install_));
    inPayloads_.reset(new CurrentDirectory(payloads_));
  }
  void TearDown() override { inPayloads_.reset(); }

  // A folder holding the seven old files.
  void MakeInstall(const std::string& dir) {
    ASSERT_TRUE(::CreateDirectoryA(dir.c_str(), nullptr)) << dir;
    for (int i = 0; i < FileCount; ++i) {
      ASSERT_NO_FATAL_FAILURE(WriteFileBytes(dir + "\\" + UpdateTargetNames[i], old_[i]));
    }
  }

  void WriteLoose(int i, const Bytes& content) {
    ASSERT_NO_FATAL_FAILURE(WriteFileBytes(payloads_ + "\\" + UpdateSourceNames[i], content));
  }
  void WriteAllLoose() {
    for (int i = 0; i < FileCount; ++i) {
      ASSERT_NO_FATAL_FAILURE(WriteLoose(i, new_[i]));
    }
  }
  void WriteContainer(const Bytes& bytes) {
    ASSERT_NO_FATAL_FAILURE(WriteFileBytes(payloads_ + "\\" + ContainerName, bytes));
  }

  // The first `replaced` entries hold their new content, the others the old.
  std::vector<Bytes> Expected(int replaced) const {
    std::vector<Bytes> expected = old_;
    std::copy(new_.begin(), new_.begin() + replaced, expected.begin());
    return expected;
  }

  // The folder holds exactly the seven files (no temporary files left) with
  // the given contents.
  void ExpectInstall(const std::vector<Bytes>& expected, const std::string& dir) const {
    std::vector<std::string> names(UpdateTargetNames, UpdateTargetNames + FileCount);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(ListFolder(dir), names);
    for (int i = 0; i < FileCount; ++i) {
      EXPECT_TRUE(SameBytes(ReadFileBytes(dir + "\\" + UpdateTargetNames[i]), expected[i])) << UpdateTargetNames[i];
    }
  }
  void ExpectInstall(const std::vector<Bytes>& expected) const { ExpectInstall(expected, install_); }

  // Exactly one message: the per-file error naming `name`, owned by Owner.
  void ExpectFileError(const char* name) const {
    ASSERT_EQ(ui_.messages.size(), 1u);
    EXPECT_EQ(ui_.messages[0].owner, Owner);
    EXPECT_EQ(ui_.messages[0].text, FileError(name));
    EXPECT_EQ(ui_.messages[0].caption, FileErrorCaption);
    EXPECT_EQ(ui_.messages[0].flags, static_cast<UINT>(MB_OK));
  }

  ScratchFolder scratch_;
  std::string install_;
  std::string payloads_;
  std::unique_ptr<CurrentDirectory> inPayloads_;
  std::vector<Bytes> old_;
  std::vector<Bytes> new_;
  ScriptedUi ui_;
};

// ---------------------------------------------------------------------------
// Success

enum class Source { Loose, WideContainer, NarrowContainerAndLoose };

struct SuccessCase {
  const char* label;
  Source source;
  bool trailingSeparator;  // InstallDir ends with a backslash
};

void PrintTo(const SuccessCase& c, std::ostream* os) { *os << c.label; }

class UpdateFilesSuccess : public UpdateFiles, public ::testing::WithParamInterface<SuccessCase> {};

// Every file is replaced byte for byte, including a payload of several copy
// chunks that is not a multiple of the chunk size, and no temporary file stays.
TEST_P(UpdateFilesSuccess, ReplacesAllSevenFiles) {
  const SuccessCase& c = GetParam();
  new_[5] = MakeBytes(999, 2 * CopyChunkSize + (1u << 20) + 123);  // BaseGame.pak, 9 MiB + 123
  std::vector<PackedFile> packed;
  for (int i = 0; i < FileCount; ++i) packed.push_back({UpdateSourceNames[i], new_[i]});
  switch (c.source) {
    case Source::Loose:
      ASSERT_NO_FATAL_FAILURE(WriteAllLoose());
      break;
    case Source::WideContainer:
      ASSERT_NO_FATAL_FAILURE(WriteContainer(PackContainer('2', packed)));
      break;
    case Source::NarrowContainerAndLoose:
      // Loose files win over stale container entries of the same name.
      packed[1].content = MakeBytes(301, 4000);
      packed[5].content = MakeBytes(305, 5000);
      ASSERT_NO_FATAL_FAILURE(WriteContainer(PackContainer('1', packed)));
      ASSERT_NO_FATAL_FAILURE(WriteLoose(1, new_[1]));
      ASSERT_NO_FATAL_FAILURE(WriteLoose(5, new_[5]));
      break;
  }
  const std::string dir = c.trailingSeparator ? install_ + "\\" : install_;
  EXPECT_EQ(ApplyUpdateFiles(Owner, dir.c_str()), 1);
  EXPECT_TRUE(ui_.messages.empty());
  ExpectInstall(new_);
}

INSTANTIATE_TEST_SUITE_P(Cases, UpdateFilesSuccess,
                         ::testing::Values(SuccessCase{"LoosePayloads", Source::Loose, false},
                                           SuccessCase{"WideContainer", Source::WideContainer, false},
                                           SuccessCase{"NarrowContainerAndLoose", Source::NarrowContainerAndLoose, false},
                                           SuccessCase{"InstallDirEndingInBackslash", Source::Loose, true}),
                         CaseLabel());

// ---------------------------------------------------------------------------
// A target held open by another process (the running game)

TEST_F(UpdateFiles, TargetHeldByAnotherProcessStopsAtThatEntry) {
  ASSERT_NO_FATAL_FAILURE(WriteAllLoose());
  int result = -1;
  {
    FileHeldByOtherProcess game(install_ + "\\delta110.dat");
    ASSERT_TRUE(game.holding());
    result = ApplyUpdateFiles(Owner, install_.c_str());
  }
  EXPECT_EQ(result, 0);
  ASSERT_NO_FATAL_FAILURE(ExpectFileError("delta110.dat"));
  EXPECT_EQ(ui_.messages[0].text, Delta110ErrorSjis);
  EXPECT_EQ(ui_.messages[0].caption, ErrorCaptionSjis);
  ExpectInstall(Expected(2));
}

// ---------------------------------------------------------------------------
// A payload that cannot be had whole: nothing in the folder changes

constexpr DWORD HugeLooseSize = 4321;  // the loose payload that claims 4 GiB more

DWORD WINAPI SizeAbove4GiB(HANDLE file, LPDWORD high) {
  const DWORD low = ::GetFileSize(file, high);
  if (low == HugeLooseSize && high != nullptr) *high = 1;
  return low;
}

enum class Unusable { Missing, ContainerEntryPastEnd, LooseOf4GiB };

struct UnusableCase {
  const char* label;
  Unusable kind;
  int entry;  // the payload that cannot be had
};

void PrintTo(const UnusableCase& c, std::ostream* os) { *os << c.label; }

class UpdateFilesUnusablePayload : public UpdateFiles, public ::testing::WithParamInterface<UnusableCase> {};

TEST_P(UpdateFilesUnusablePayload, ChangesNothing) {
  const UnusableCase& c = GetParam();
  for (int i = 0; i < FileCount; ++i) {
    if (i != c.entry) {
      ASSERT_NO_FATAL_FAILURE(WriteLoose(i, new_[i]));
    }
  }
  switch (c.kind) {
    case Unusable::Missing:  // in neither place; the container holds others
      ASSERT_NO_FATAL_FAILURE(WriteContainer(PackContainer('1', {{"Tesselka.exe", new_[0]}})));
      break;
    case Unusable::ContainerEntryPastEnd:
      ASSERT_NO_FATAL_FAILURE(WriteContainer(RawContainer(
          '1', 1, {{UpdateSourceNames[c.entry], 0, static_cast<std::uint32_t>(new_[c.entry].size() + 1)}},
          new_[c.entry])));
      break;
    case Unusable::LooseOf4GiB:
      new_[c.entry] = MakeBytes(77, HugeLooseSize);
      ASSERT_NO_FATAL_FAILURE(WriteLoose(c.entry, new_[c.entry]));
      break;
  }
  int result = -1;
  {
    ScopedSwap<decltype(Win32Api::GetFileSize)> size(
        win32.GetFileSize, c.kind == Unusable::LooseOf4GiB ? &SizeAbove4GiB : win32.GetFileSize);
    result = ApplyUpdateFiles(Owner, install_.c_str());
  }
  EXPECT_EQ(result, 0);
  ASSERT_NO_FATAL_FAILURE(ExpectFileError(UpdateSourceNames[c.entry]));
  ExpectInstall(old_);
}

INSTANTIATE_TEST_SUITE_P(Cases, UpdateFilesUnusablePayload,
                         ::testing::Values(UnusableCase{"MissingPayload", Unusable::Missing, 3},
                                           UnusableCase{"ContainerEntryPastEnd", Unusable::ContainerEntryPastEnd, 6},
                                           UnusableCase{"LoosePayloadOf4GiB", Unusable::LooseOf4GiB, 5}),
                         CaseLabel());

// ---------------------------------------------------------------------------
// A copy that fails half-way: that target stays as it was

// delta120.dat (entry 4) is one full copy chunk and a tail of TailSize bytes;
// no other read, write or allocation in these tests has either size.
constexpr int FailingEntry = 3;
constexpr DWORD TailSize = 777;

BOOL WINAPI FailTailRead(HANDLE file, LPVOID buffer, DWORD count, LPDWORD read, LPOVERLAPPED overlapped) {
  if (count == TailSize) {
    if (read != nullptr) *read = 0;
    ::SetLastError(ERROR_READ_FAULT);
    return FALSE;
  }
  return ::ReadFile(file, buffer, count, read, overlapped);
}

BOOL WINAPI ShortChunkRead(HANDLE file, LPVOID buffer, DWORD count, LPDWORD read, LPOVERLAPPED overlapped) {
  return ::ReadFile(file, buffer, count == CopyChunkSize ? count / 2 : count, read, overlapped);
}

BOOL WINAPI FailTailWrite(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written, LPOVERLAPPED overlapped) {
  if (count == TailSize) {
    if (written != nullptr) *written = 0;
    ::SetLastError(ERROR_DISK_FULL);
    return FALSE;
  }
  return ::WriteFile(file, buffer, count, written, overlapped);
}

BOOL WINAPI ShortChunkWrite(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written, LPOVERLAPPED overlapped) {
  return ::WriteFile(file, buffer, count == CopyChunkSize ? count - 1000 : count, written, overlapped);
}

struct CopyFailureCase {
  const char* label;
  decltype(Win32Api::ReadFile) readFile;
  decltype(Win32Api::WriteFile) writeFile;
};

void PrintTo(const CopyFailureCase& c, std::ostream* os) { *os << c.label; }

class UpdateFilesCopyFailure : public UpdateFiles, public ::testing::WithParamInterface<CopyFailureCase> {};

TEST_P(UpdateFilesCopyFailure, KeepsThatTargetAndRemovesTheTemporaryFile) {
  const CopyFailureCase& c = GetParam();
  new_[FailingEntry] = MakeBytes(444, CopyChunkSize + TailSize);
  ASSERT_NO_FATAL_FAILURE(WriteAllLoose());

  int result = -1;
  const DWORD start = ::GetTickCount();
  {
    ScopedSwap<decltype(Win32Api::ReadFile)> read(win32.ReadFile, c.readFile ? c.readFile : win32.ReadFile);
    ScopedSwap<decltype(Win32Api::WriteFile)> write(win32.WriteFile, c.writeFile ? c.writeFile : win32.WriteFile);
    result = ApplyUpdateFiles(Owner, install_.c_str());
  }
  EXPECT_LT(::GetTickCount() - start, 20000u) << "the failed transfer was waited on";
  EXPECT_EQ(result, 0);
  ASSERT_NO_FATAL_FAILURE(ExpectFileError(UpdateSourceNames[FailingEntry]));
  ExpectInstall(Expected(FailingEntry));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UpdateFilesCopyFailure,
    ::testing::Values(CopyFailureCase{"ReadFails", &FailTailRead, nullptr},
                      CopyFailureCase{"ReadDeliversShort", &ShortChunkRead, nullptr},
                      CopyFailureCase{"WriteFailsDiskFull", nullptr, &FailTailWrite},
                      CopyFailureCase{"WriteReportsFewerBytes", nullptr, &ShortChunkWrite}),
    CaseLabel());

HGLOBAL WINAPI FailLargeAllocation(UINT flags, SIZE_T size) {
  if (size >= (1u << 20)) {
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return ::GlobalAlloc(flags, size);
}

// No copy buffer for the large payload: the update stops with the per-file
// message naming it, before any file is touched.
TEST_F(UpdateFiles, CopyBufferAllocationFailureChangesNothing) {
  new_[FailingEntry] = MakeBytes(444, CopyChunkSize + TailSize);
  ASSERT_NO_FATAL_FAILURE(WriteAllLoose());
  int result = -1;
  {
    ScopedSwap<decltype(Win32Api::GlobalAlloc)> alloc(win32.GlobalAlloc, &FailLargeAllocation);
    result = ApplyUpdateFiles(Owner, install_.c_str());
  }
  EXPECT_EQ(result, 0);
  ASSERT_NO_FATAL_FAILURE(ExpectFileError(UpdateSourceNames[FailingEntry]));
  ExpectInstall(old_);
}

// ---------------------------------------------------------------------------
// Long install folders: target paths are built in 260-byte buffers

enum class Folder { WithOldFiles, Empty, Missing };

struct LongDirCase {
  const char* label;
  std::size_t length;  // of the install folder's path
  Folder folder;
  int result;
  int failing;  // the entry the message names, when result is 0
};

void PrintTo(const LongDirCase& c, std::ostream* os) { *os << c.label; }

class UpdateFilesLongInstallDir : public UpdateFiles, public ::testing::WithParamInterface<LongDirCase> {};

TEST_P(UpdateFilesLongInstallDir, UsesOnlyPathsThatFit) {
  const LongDirCase& c = GetParam();
  ASSERT_LT(scratch_.path().size() + 1, c.length);
  const std::string dir = scratch_.path() + "\\" + std::string(c.length - scratch_.path().size() - 1, 'd');
  ASSERT_EQ(dir.size(), c.length);
  if (c.folder == Folder::WithOldFiles) {
    ASSERT_NO_FATAL_FAILURE(MakeInstall(dir));
  }
  if (c.folder == Folder::Empty) {
    ASSERT_TRUE(::CreateDirectoryA(dir.c_str(), nullptr));
  }
  ASSERT_NO_FATAL_FAILURE(WriteAllLoose());
  const std::vector<std::string> before = ListFolder(scratch_.path());

  EXPECT_EQ(ApplyUpdateFiles(Owner, dir.c_str()), c.result);
  if (c.result == 1) {
    EXPECT_TRUE(ui_.messages.empty());
    ExpectInstall(new_, dir);
  } else {
    ASSERT_NO_FATAL_FAILURE(ExpectFileError(UpdateSourceNames[c.failing]));
    if (c.folder == Folder::Empty) {
      EXPECT_TRUE(ListFolder(dir).empty());
    }
    if (c.folder == Folder::WithOldFiles) {
      ExpectInstall(old_, dir);
    }
  }
  // Nothing was written beside the install folder under a cut-off name.
  EXPECT_EQ(ListFolder(scratch_.path()), before);
  ExpectInstall(old_);
}

// The longest target is the folder, a separator and "Tesselka30.exe" (14
// bytes); the temporary file needs the folder, a separator and 11 bytes. At
// 245 bytes "Tesselka.exe" would still fit but "Tesselka30.exe" not: no file
// may be replaced then either.
INSTANTIATE_TEST_SUITE_P(Cases, UpdateFilesLongInstallDir,
                         ::testing::Values(LongDirCase{"LongestThatFits244", 244, Folder::WithOldFiles, 1, 0},
                                           LongDirCase{"OnlySomeTargetsFit245", 245, Folder::WithOldFiles, 0, 1},
                                           LongDirCase{"NoTargetFits247", 247, Folder::Empty, 0, 0},
                                           LongDirCase{"FarTooLong300", 300, Folder::Missing, 0, 0}),
                         CaseLabel());

}  // namespace
