// The child's side of ChildProcess: report lines to the parent and leave cleanly.
#pragma once
#include <unistd.h>

#include <string>

#include "platform/rpc/client.h"
#include "tests/support/ChildProcess.h"

namespace testsupport {

inline void Report(const std::string& line) {
    std::string l = line + "\n";
    (void)!::write(kChildReportFd, l.data(), l.size());
}

[[noreturn]] inline void Finish(int code) {
    plat::rpc::DisconnectAll();
    ::_exit(code);
}

}  // namespace testsupport

// Ends the child with a FAIL report when the condition does not hold.
#define CHILD_CHECK(cond)                                                              \
    do {                                                                               \
        if (!(cond)) {                                                                 \
            testsupport::Report(std::string("FAIL line ") + std::to_string(__LINE__) + \
                                ": " #cond);                                           \
            testsupport::Finish(1);                                                    \
        }                                                                              \
    } while (0)
