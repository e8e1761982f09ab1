// Library ports through the service: the system device of a field-bus port in the item tree.
#include <gtest/gtest.h>

#include "tests/fieldbus/LibmodbusPeer.h"
#include "tests/station/LibraryStation.h"
#include "tests/support/PtyPair.h"

namespace {

class BusStation : public station::LibraryStation {};

TEST_F(BusStation, FieldBusPortShowsItsSystemDevice) {
    testsupport::PtyPair line(7);
    fbtest::LibmodbusPeer peer(line.FarFd(), 5);
    Start("PORT=CUST COM7=MN19200");
    EXPECT_GE(WaitItem("System.COM7.Command"), 0);
    EXPECT_GE(WaitItem("System.COM7.TxRx"), 0);
    drv::StopPorts();
    EXPECT_LT(drv::FindItemID("System.COM7.Command"), 0) << "the library's leaves leave with it";
}

}  // namespace
