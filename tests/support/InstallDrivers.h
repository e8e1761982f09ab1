// Areas that poll real controllers include this once: the driver classes are installed before
// any test runs, as the service installs them before its poll threads start.
#pragma once
#include <gtest/gtest.h>

#include "service/drivers/Drivers.h"

namespace testsupport {

class DriversEnvironment : public ::testing::Environment {
  public:
    void SetUp() override { drv::InstallDrivers(); }
};

inline ::testing::Environment* const kDriversEnvironment =
    ::testing::AddGlobalTestEnvironment(new DriversEnvironment);

}  // namespace testsupport
