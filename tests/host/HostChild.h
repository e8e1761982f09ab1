// The host tests' client process: this test program on HostChild.DISABLED_Main, playing the
// scenario named in NORVALT_HOST_CHILD and reading commands from its standard input.
#pragma once
#include "tests/support/ChildProcess.h"

namespace hosttest {

using testsupport::kChildReportFd;

class HostChild : public testsupport::ChildProcess {
  public:
    HostChild(const std::string& scenario,
              const std::vector<std::pair<std::string, std::string>>& env)
        : testsupport::ChildProcess(
              {"HostChild.DISABLED_Main", "NORVALT_HOST_CHILD", "NORVALT_HOST_"}, scenario, env) {}
};

}  // namespace hosttest
