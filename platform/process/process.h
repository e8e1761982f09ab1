// Child programs the service starts and forgets: started with only the standard descriptors,
// polled without blocking, and reaped so that none is left a zombie.
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

namespace plat::process {

// The folder of the running program, with a trailing '/'; empty when it cannot be told.
std::string ExeFolder();

// Starts `path` with `argv` (argv[0] included) and the current environment. Descriptors above 2
// are closed in the child, so no port or socket of the service leaks into it. 0 and the pid,
// or the errno of the failure.
int Spawn(const std::string& path, const std::vector<std::string>& argv, pid_t& pid);

// Whether the child still runs. A child that has ended is reaped here; false for pid <= 0.
bool IsRunning(pid_t pid);

// Reaps the child as soon as it ends, so that it is never left a zombie while nobody asks;
// IsRunning keeps telling whether it runs (false once, then the pid is forgotten).
void Watch(pid_t pid);

// Hands a child to the reaper: it is reaped whenever it ends, without anyone waiting for it.
void Abandon(pid_t pid);

}  // namespace plat::process
