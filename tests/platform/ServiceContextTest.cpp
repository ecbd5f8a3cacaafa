#include <gtest/gtest.h>

#include "platform/Platform.h"

namespace {

class ServiceContextTest : public ::testing::Test {
 protected:
  void SetUp() override { ServiceContext = {}; }
  EFI_BOOT_SERVICES FirstBoot{};
  EFI_BOOT_SERVICES SecondBoot{};
  EFI_SYSTEM_TABLE First{};
  EFI_SYSTEM_TABLE Second{};
};

TEST_F(ServiceContextTest, RecordsTheFirmwareTables) {
  First.BootServices = &FirstBoot;
  First.RuntimeServices = reinterpret_cast<EFI_RUNTIME_SERVICES *>(0x1234);
  InitServiceContext(reinterpret_cast<EFI_HANDLE>(0x99), &First);
  EXPECT_EQ(ServiceContext.SystemTable, &First);
  EXPECT_EQ(ServiceContext.BootServices, &FirstBoot);
  EXPECT_EQ(ServiceContext.RuntimeServices, First.RuntimeServices);
  EXPECT_EQ(ServiceContext.ImageHandle, reinterpret_cast<EFI_HANDLE>(0x99));
  EXPECT_EQ(ServiceContext.SmbiosService, nullptr);
}

TEST_F(ServiceContextTest, FirstCallWins) {
  First.BootServices = &FirstBoot;
  Second.BootServices = &SecondBoot;
  Second.RuntimeServices = reinterpret_cast<EFI_RUNTIME_SERVICES *>(0x5678);
  InitServiceContext(reinterpret_cast<EFI_HANDLE>(1), &First);
  InitServiceContext(reinterpret_cast<EFI_HANDLE>(2), &Second);
  EXPECT_EQ(ServiceContext.SystemTable, &First);
  EXPECT_EQ(ServiceContext.BootServices, &FirstBoot);
  EXPECT_EQ(ServiceContext.RuntimeServices, nullptr);
  EXPECT_EQ(ServiceContext.ImageHandle, reinterpret_cast<EFI_HANDLE>(1));
}

}  // namespace
