// The main of the test programs whose every test must run in a private root: a test that
// reaches for the system root without one fails at once instead of reading an installed
// service's registry or leaving files in its folders.
#include <gtest/gtest.h>

#include "platform/sysroot/sysroot.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    plat::RefuseDefaultRoot([] {
        ADD_FAILURE() << "the system root was asked for without a private root "
                         "(give the test a testsupport::TempRoot before anything that logs)";
    });
    return RUN_ALL_TESTS();
}
