// The transport tests' second process: this test program on RpcChild.DISABLED_Main, playing
// the scenario named in NORVALT_RPC_CHILD.
#pragma once
#include "tests/support/ChildProcess.h"

namespace rpctest {

using testsupport::kChildReportFd;

class ChildProcess : public testsupport::ChildProcess {
  public:
    ChildProcess(const std::string& scenario,
                 const std::vector<std::pair<std::string, std::string>>& env, int listen_fd = -1)
        : testsupport::ChildProcess({"RpcChild.DISABLED_Main", "NORVALT_RPC_CHILD", "NORVALT_RPC_"},
                                    scenario, env, listen_fd) {}
};

}  // namespace rpctest
