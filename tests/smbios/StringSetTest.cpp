#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "smbios/StringSet.h"
#include "tests/fakes/FakeSmbiosService.h"

namespace {

// A structure in a buffer with room to grow, guarded by a pattern behind it.
struct Buffer {
  std::vector<UINT8> Bytes;
  size_t StructureSize;
  explicit Buffer(const std::vector<UINT8> &Structure, size_t Room = 64)
      : Bytes(Structure), StructureSize(Structure.size()) {
    Bytes.resize(Structure.size() + Room, 0xCC);
  }
  std::vector<UINT8> Structure() const {
    return std::vector<UINT8>(Bytes.begin(),
                              Bytes.begin() + GetStructureSize(Bytes.data(), Bytes.size()));
  }
};

std::vector<UINT8> Type1(const std::vector<std::string> &Strings) {
  return MakeStructure(1, 0x10, 8, Strings);
}

TEST(GetStructureSizeTest, CountsThroughTheClosingZeroPair) {
  EXPECT_EQ(GetStructureSize(Type1({}).data(), 100), 10);
  EXPECT_EQ(GetStructureSize(Type1({"AB"}).data(), 100), 12);
  EXPECT_EQ(GetStructureSize(Type1({"A", "BB", "C"}).data(), 100), 8 + 2 + 3 + 2 + 1);
}

TEST(GetStructureSizeTest, RefusesMalformedOrUnboundedStructures) {
  std::vector<UINT8> Short = Type1({"AB"});
  Short[1] = 3;  // Length below the header
  EXPECT_EQ(GetStructureSize(Short.data(), 100), 0);
  std::vector<UINT8> Fits = Type1({"AB"});
  EXPECT_EQ(GetStructureSize(Fits.data(), Fits.size()), Fits.size());
  EXPECT_EQ(GetStructureSize(Fits.data(), Fits.size() - 1), 0);  // pair beyond the limit
  std::vector<UINT8> Unterminated(40, 'x');
  Unterminated[1] = 8;
  EXPECT_EQ(GetStructureSize(Unterminated.data(), Unterminated.size()), 0);  // ASan: no over-read
  std::vector<UINT8> TypeByteOnly(1, 1);  // ASan: the Length byte is not read
  EXPECT_EQ(GetStructureSize(TypeByteOnly.data(), TypeByteOnly.size()), 0);
}

TEST(GetStructureSizeTest, NeverReportsASizeSixteenBitsCannotHold) {
  // The closing pair at 65538 would measure 65540, which a UINT16 truncates to 4.
  std::vector<UINT8> Huge(70000, 'x');
  Huge[1] = 4;
  Huge[65538] = 0;
  Huge[65539] = 0;
  EXPECT_EQ(GetStructureSize(Huge.data(), Huge.size()), 0);
  Huge[65533] = 0;
  Huge[65534] = 0;  // the longest size that fits
  EXPECT_EQ(GetStructureSize(Huge.data(), Huge.size()), 65535);
}

TEST(FindStringInSetTest, FindsEachStringAndRefusesMissingOnes) {
  std::vector<UINT8> Structure = Type1({"M", "PP", "V"});
  UINT8 *Start = Structure.data();
  UINT8 *Cursor = Start;
  ASSERT_TRUE(FindStringInSet(&Cursor, 1));
  EXPECT_EQ(Cursor, Start + 8);
  Cursor = Start;
  ASSERT_TRUE(FindStringInSet(&Cursor, 3));
  EXPECT_STREQ(reinterpret_cast<char *>(Cursor), "V");
  for (UINT8 Missing : {0, 4, 255}) {
    Cursor = Start;
    EXPECT_FALSE(FindStringInSet(&Cursor, Missing)) << int(Missing);
    EXPECT_EQ(Cursor, Start);
  }
  std::vector<UINT8> Empty = Type1({});
  Cursor = Empty.data();
  ASSERT_TRUE(FindStringInSet(&Cursor, 1));  // where a first string goes
  EXPECT_EQ(Cursor, Empty.data() + 8);
  Cursor = Empty.data();
  EXPECT_FALSE(FindStringInSet(&Cursor, 2));
}

struct Replacement {
  const char *Name;
  std::vector<std::string> Before;
  UINT8 StringNumber;
  const char *NewString;
  std::vector<std::string> After;
};

void PrintTo(const Replacement &Case, std::ostream *Out) { *Out << Case.Name; }

class ReplaceStringInSetTest : public ::testing::TestWithParam<Replacement> {};

TEST_P(ReplaceStringInSetTest, RewritesOnlyTheStringAndKeepsTheRest) {
  const Replacement &Case = GetParam();
  std::vector<UINT8> Original = Type1(Case.Before);
  Buffer Work(Original);
  ASSERT_EQ(
      ReplaceStringInSet(Work.Bytes.data(), Case.StringNumber, Case.NewString, Work.Bytes.size()),
      EFI_SUCCESS);
  std::vector<UINT8> Expected = Type1(Case.After);
  EXPECT_EQ(Work.Structure(), Expected);
  // Nothing beyond the grown structure was written.
  for (size_t Index = std::max(Expected.size(), Original.size()); Index < Work.Bytes.size();
       Index++) {
    ASSERT_EQ(Work.Bytes[Index], 0xCC) << Index;
  }
}

INSTANTIATE_TEST_SUITE_P(
    StringSetCases, ReplaceStringInSetTest,
    ::testing::Values(Replacement{"LastStringGrows", {"A", "B"}, 2, "XYZ", {"A", "XYZ"}},
                      Replacement{"MiddleShrinksByOne", {"A", "BB", "C"}, 2, "Q", {"A", "Q", "C"}},
                      Replacement{
                          "MiddleGrowsByTwo", {"A", "BB", "C"}, 2, "QQQQ", {"A", "QQQQ", "C"}},
                      Replacement{"SameLength", {"A", "BB", "C"}, 2, "ZZ", {"A", "ZZ", "C"}},
                      Replacement{"FirstString", {"M", "P", "V"}, 1, "Maker", {"Maker", "P", "V"}},
                      Replacement{"LastOfThree", {"M", "P", "V"}, 3, "v2.0", {"M", "P", "v2.0"}},
                      Replacement{"EmptySetGainsFirstString", {}, 1, "NEW", {"NEW"}}),
    [](const ::testing::TestParamInfo<Replacement> &Info) { return std::string(Info.param.Name); });

TEST(ReplaceStringInSetTest, SameLengthKeepsTheSize) {
  Buffer Work(Type1({"A", "BB", "C"}), 0);
  ASSERT_EQ(ReplaceStringInSet(Work.Bytes.data(), 2, "ZZ", Work.Bytes.size()), EFI_SUCCESS);
  EXPECT_EQ(GetStructureSize(Work.Bytes.data(), Work.Bytes.size()), Work.StructureSize);
}

TEST(ReplaceStringInSetTest, RefusesAndLeavesTheBufferUnchanged) {
  const std::vector<UINT8> Original = Type1({"A", "B"});
  struct Refusal {
    UINT8 StringNumber;
    std::string NewString;
    size_t Room;
    EFI_STATUS Expected;
  };
  for (const Refusal &Case : std::vector<Refusal>{
           {3, "X", 16, EFI_NOT_FOUND},                             // no such string
           {0, "X", 16, EFI_NOT_FOUND},                             // strings count from 1
           {2, "", 16, EFI_INVALID_PARAMETER},                      // would end the set early
           {2, std::string(255, 'L'), 300, EFI_INVALID_PARAMETER},  // too long for 8 bits
           {2, "XYZ", 1, EFI_BUFFER_TOO_SMALL},                     // grows past the buffer
       }) {
    Buffer Work(Original, Case.Room);
    std::vector<UINT8> Before = Work.Bytes;
    EXPECT_EQ(ReplaceStringInSet(Work.Bytes.data(), Case.StringNumber, Case.NewString.c_str(),
                                 Work.Bytes.size()),
              Case.Expected)
        << int(Case.StringNumber) << " '" << Case.NewString.substr(0, 8) << "'";
    EXPECT_EQ(Work.Bytes, Before);
  }
  Buffer Work(Type1({}));
  std::vector<UINT8> Before = Work.Bytes;
  EXPECT_EQ(ReplaceStringInSet(Work.Bytes.data(), 2, "NEW", Work.Bytes.size()), EFI_NOT_FOUND);
  EXPECT_EQ(Work.Bytes, Before);
  std::vector<UINT8> Unterminated(40, 'x');  // no closing pair within the buffer
  Unterminated[1] = 8;
  Before = Unterminated;
  EXPECT_EQ(ReplaceStringInSet(Unterminated.data(), 1, "NEW", Unterminated.size()),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Unterminated, Before);
}

TEST(ReplaceStringInSetTest, AcceptsTheLongestStringAnEightBitLengthHolds) {
  std::string Longest(254, 'L');
  Buffer Work(Type1({"A", "B"}), 300);
  ASSERT_EQ(ReplaceStringInSet(Work.Bytes.data(), 2, Longest.c_str(), Work.Bytes.size()),
            EFI_SUCCESS);
  EXPECT_EQ(StringsOf(Work.Structure()), (std::vector<std::string>{"A", Longest}));
}

}  // namespace
