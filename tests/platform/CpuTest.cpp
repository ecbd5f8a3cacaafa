#include <cpuid.h>
#include <gtest/gtest.h>

#include "platform/Platform.h"

namespace {

TEST(QueryCpuIdTest, MatchesTheCompilerOnLeafZero) {
  unsigned Eax = 0, Ebx = 0, Ecx = 0, Edx = 0;
  ASSERT_TRUE(__get_cpuid(0, &Eax, &Ebx, &Ecx, &Edx));
  UINT32 OurEax = 0, OurEbx = 0, OurEcx = 0, OurEdx = 0;
  EXPECT_EQ(QueryCpuId(0, &OurEax, &OurEbx, &OurEcx, &OurEdx), Eax);
  EXPECT_EQ(OurEax, Eax);
  EXPECT_EQ(OurEbx, Ebx);
  EXPECT_EQ(OurEcx, Ecx);
  EXPECT_EQ(OurEdx, Edx);
}

TEST(QueryCpuIdTest, PassesTheSubLeafAndWritesOnlyThroughEcx) {
  unsigned Eax = 0, Ebx = 0, Ecx = 0, Edx = 0;
  // Leaf 4 (cache parameters) differs by sub-leaf on every Intel and AMD part
  // that reports it; fall back to leaf 0 where it is absent.
  UINT32 Leaf = __get_cpuid_max(0, nullptr) >= 4 ? 4 : 0;
  __cpuid_count(Leaf, 1, Eax, Ebx, Ecx, Edx);
  UINT32 SubLeaf = 1;
  EXPECT_EQ(QueryCpuId(Leaf, nullptr, nullptr, &SubLeaf, nullptr), Eax);
  EXPECT_EQ(SubLeaf, Ecx);
}

TEST(ReadTimeStampCounterTest, GrowsMonotonically) {
  UINT64 Previous = ReadTimeStampCounter();
  for (int Sample = 0; Sample < 1000; Sample++) {
    UINT64 Now = ReadTimeStampCounter();
    ASSERT_GE(Now, Previous);
    Previous = Now;
  }
  volatile UINT64 Sink = 0;
  for (int Spin = 0; Spin < 100000; Spin++) {
    Sink = Sink + 1;
  }
  EXPECT_GT(ReadTimeStampCounter(), Previous);
}

}  // namespace
