// Fresh fakes for every test: boot services, SMBIOS table service, hardware,
// and a service context pointing at them.
#pragma once

#include <gtest/gtest.h>

#include "platform/Platform.h"
#include "tests/fakes/CallLog.h"
#include "tests/fakes/FakeBootServices.h"
#include "tests/fakes/FakeSmbiosService.h"
#include "tests/fakes/RecordingHardware.h"

class DriverFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetHardware();
    ResetServiceFakes();
  }
  void TearDown() override {
    EXPECT_EQ(PoolLeaks(), 0u) << "pool memory leaked";
    EXPECT_TRUE(HandedOutStructuresIntact()) << "a structure handed out was written to";
  }
};
