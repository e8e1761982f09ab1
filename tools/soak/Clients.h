// The soak's client processes (Clients.cpp).
#pragma once
#include <string>
#include <vector>

namespace soak {

// A command's result must come within the registry's time-out (20 s) and this much slack.
inline constexpr double kResultBoundMs = 25000;

// Runs the client KIND (tork, flood, victim, sync, async, da1) with its arguments (posts or
// item names); never returns.
[[noreturn]] int RunClient(const std::string& kind, const std::vector<std::string>& args);

}  // namespace soak
