// Payload streams on real files: a loose file in the current directory, or an
// entry of UpdateData.dat there, including malformed and hostile containers.
#include <gtest/gtest.h>

#include <cstring>

#include "install/update_files.h"
#include "payload/payload_stream.h"
#include "test_support.h"

namespace {

struct StreamCase {
  std::string label;
  bool hasContainer;
  Bytes container;
  std::vector<PackedFile> looseFiles;
  std::string name;  // opened with OpenPayload(name, "UpdateData.dat")
  // Expected: a null stream, or one with these fields and bytes.
  bool opens;
  std::int32_t inContainer;
  std::uint32_t dataStart;
  Bytes content;
};

void PrintTo(const StreamCase& c, std::ostream* os) { *os << c.label; }

const Bytes A = MakeBytes(1, 100);
const Bytes B = MakeBytes(2, 37);
const Bytes C = MakeBytes(3, 250);
const Bytes Loose = MakeBytes(4, 61);
const Bytes Data = MakeBytes(5, 200);
const std::string Name31 = std::string(27, 'w') + ".dat";

StreamCase Opens(std::string label, Bytes container, std::string name, std::uint32_t dataStart, Bytes content) {
  return {std::move(label), true, std::move(container), {}, std::move(name), true, 1, dataStart, std::move(content)};
}

StreamCase Null(std::string label, Bytes container, std::string name) {
  return {std::move(label), true, std::move(container), {}, std::move(name), false, 0, 0, Bytes()};
}

std::vector<StreamCase> StreamCases() {
  const Bytes wide = PackContainer('2', {{"Tesselka.exe", A}, {Name31, B}, {"Catalog.ini", C}});
  const Bytes narrow1 = PackContainer('1', {{"delta110.dat", A}, {"Catalog.ini", C}});
  const Bytes narrow0 = PackContainer(0x00, {{"delta110.dat", A}, {"Catalog.ini", C}});
  const Bytes noNul = RawContainer('1', 2, {{"ABCDEFGHIJKLMNOP", 0, 5}, {"Catalog.ini", 5, 6}}, Data);
  return {
      // Layouts: D = 40 x N for the mark '2', 24 x N for any other mark.
      Opens("WideLayout31ByteName", wide, Name31, 16 + 120 + 100, B),
      Opens("WideLayoutLastEntry", wide, "Catalog.ini", 16 + 120 + 137, C),
      Opens("NarrowLayoutMark1", narrow1, "Catalog.ini", 16 + 48 + 100, C),
      Opens("NarrowLayoutMark0", narrow0, "Catalog.ini", 16 + 48 + 100, C),
      Opens("NarrowN2Offset10StartsAt74",
            RawContainer('1', 2, {{"delta110.dat", 0, 10}, {"Catalog.ini", 10, 5}}, Data.substr(0, 15)),
            "Catalog.ini", 74, Data.substr(10, 5)),
      // Matching names.
      Opens("CaseInsensitive", PackContainer('1', {{"CATALOG.INI", C}}), "catalog.ini", 16 + 24, C),
      Opens("DuplicateNameLowerIndexWins",
            RawContainer('1', 2, {{"Catalog.ini", 50, 20}, {"catalog.ini", 0, 30}}, Data), "Catalog.ini",
            16 + 48 + 50, Data.substr(50, 20)),
      Opens("FolderPartLooksUpBaseName", narrow1, "sub\\dir\\Catalog.ini", 16 + 48 + 100, C),
      Opens("EntryEndingAtEndOfFile", RawContainer('1', 1, {{"Catalog.ini", 150, 50}}, Data), "Catalog.ini",
            16 + 24 + 150, Data.substr(150, 50)),
      Null("NameNotInContainer", narrow1, "Tesselka.exe"),
      Null("ZeroLengthEntry", RawContainer('1', 1, {{"Catalog.ini", 0, 0}}, Data), "Catalog.ini"),
      Null("NoEntries", RawContainer('1', 0, {}, Data), "Catalog.ini"),
      Null("FileOf12Bytes", Bytes("UPDATEDATA 1"), "Catalog.ini"),
      // Hostile containers.
      Null("CountOverflowsDirectorySize", RawContainer('2', 0xFFFFFFFFu, {{"Catalog.ini", 0, 5}}, Data),
           "Catalog.ini"),
      Null("CountWrapsNarrowDirectoryToZero", RawContainer('1', 0x80000000u, {{"Catalog.ini", 0, 5}}, Data),
           "Catalog.ini"),
      Null("CountWrapsWideDirectoryToZero", RawContainer('2', 0x80000000u, {{"Catalog.ini", 0, 5}}, Data),
           "Catalog.ini"),
      Null("DirectoryPastEndOfFile",
           RawContainer('1', 5, {{"Catalog.ini", 0, 5}, {"delta110.dat", 5, 5}}, Data.substr(0, 10)),
           "Catalog.ini"),
      Null("EntryPastEndOfFile", RawContainer('1', 1, {{"Catalog.ini", 150, 51}}, Data), "Catalog.ini"),
      Null("EntryLengthWrapsPosition", RawContainer('1', 1, {{"Catalog.ini", 10, 0xFFFFFFF0u}}, Data),
           "Catalog.ini"),
      Null("OffsetAtOrAbove2Pow31", RawContainer('1', 1, {{"Catalog.ini", 0x80000000u, 5}}, Data), "Catalog.ini"),
      // A name field that fills its 16 bytes has no NUL: it is not read into
      // the next field, and a shorter name does not match it.
      Null("FieldWithoutNulNotMatchedByPrefix", noNul, "ABCDEFGHIJKLMNO"),
      Null("FieldWithoutNulNotJoinedToNextField", noNul, "ABCDEFGHIJKLMNOPCatalog.ini"),
      Opens("FieldAfterFieldWithoutNul", noNul, "Catalog.ini", 16 + 48 + 5, Data.substr(5, 6)),
      // Loose files.
      {"LooseFileBeatsContainerEntry", true, narrow1, {{"Catalog.ini", Loose}}, "Catalog.ini", true, 0, 0, Loose},
      {"LooseFileWithoutContainer", false, Bytes(), {{"Catalog.ini", Loose}}, "Catalog.ini", true, 0, 0, Loose},
      {"NeitherLooseNorContainer", false, Bytes(), {{"delta110.dat", Loose}}, "Catalog.ini", false, 0, 0, Bytes()},
  };
}

void ExpectStream(const StreamCase& c, PayloadStream* stream);

class PayloadStreamOpen : public ::testing::TestWithParam<StreamCase> {
 protected:
  ScratchFolder scratch_;
  CurrentDirectory inScratch_{scratch_.path()};
};

TEST_P(PayloadStreamOpen, FindsThePayload) {
  const StreamCase& c = GetParam();
  if (c.hasContainer) {
    ASSERT_NO_FATAL_FAILURE(WriteFileBytes(scratch_ / ContainerName, c.container));
  }
  for (const PackedFile& file : c.looseFiles) {
    ASSERT_NO_FATAL_FAILURE(WriteFileBytes(scratch_ / file.name, file.content));
  }

  PayloadStream* stream = OpenPayload(c.name.c_str(), ContainerName);
  if (c.opens) {
    ASSERT_NE(stream, nullptr);
    ExpectStream(c, stream);
  } else {
    EXPECT_EQ(stream, nullptr);
  }
  if (stream != nullptr) ClosePayload(stream);

  // Every handle was closed: the files can be removed at once.
  if (c.hasContainer) {
    EXPECT_TRUE(::DeleteFileA((scratch_ / ContainerName).c_str()));
  }
  for (const PackedFile& file : c.looseFiles) {
    EXPECT_TRUE(::DeleteFileA((scratch_ / file.name).c_str()));
  }
}

void ExpectStream(const StreamCase& c, PayloadStream* stream) {
  EXPECT_EQ(stream->inContainer, c.inContainer);
  EXPECT_EQ(stream->dataStart, c.dataStart);
  EXPECT_EQ(PayloadSize(stream), c.content.size());
  EXPECT_EQ(stream->requested, 0u);
  EXPECT_EQ(stream->transferred, 0u);

  const std::uint32_t size = PayloadSize(stream);
  Bytes buffer(size + 16, '\xCD');
  EXPECT_EQ(ReadPayload(stream, &buffer[0], size), 1);
  EXPECT_EQ(WaitPayload(stream), 1);
  EXPECT_EQ(stream->requested, size);
  EXPECT_EQ(stream->transferred, size);
  EXPECT_EQ(buffer.substr(0, size), c.content);
  EXPECT_EQ(buffer.substr(size), Bytes(16, '\xCD')) << "read past the payload";
}

INSTANTIATE_TEST_SUITE_P(Cases, PayloadStreamOpen, ::testing::ValuesIn(StreamCases()),
                         CaseLabel());

TEST(PayloadStreamNull, ReadAndWaitRefuseANullStream) {
  char buffer[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(ReadPayload(nullptr, buffer, sizeof buffer), 0);
  EXPECT_EQ(WaitPayload(nullptr), 0);
  EXPECT_EQ(std::memcmp(buffer, "abcd", 4), 0);
}

}  // namespace
