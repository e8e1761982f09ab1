// Text log files: a folder made on demand, generations shifted at start, the newest generation
// written a whole line at a time. Callers keep the descriptor and report failures their own way.
#pragma once
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace plat {

// Creates the log folder and its parents; false when it cannot be made (the log stays off).
bool MakeLogFolder(const std::string& folder);

// "<stem>1" .. "<stem><count>", newest first: the names RotateLogGenerations takes.
std::vector<std::string> LogGenerationNames(const std::string& stem, int count);

// What a missing generation in the middle does to the shift.
enum class LogGenerationGap {
    StopShift,  // only the unbroken run from the newest moves; older ones stay put
    SkipIt,     // every generation that exists moves up one
};

// Moves generations[i] to generations[i + 1], oldest first, so nothing is overwritten that has
// not moved on yet. The oldest is only ever dropped by being replaced. Failures are ignored: a
// rotation that goes wrong leaves old text behind but must never keep the log from starting.
void RotateLogGenerations(std::span<const std::string> generations, LogGenerationGap gap);

// Creates (or empties) path as the newest generation. Every write appends, so whole lines of
// several writers never overwrite each other, and the descriptor is not passed on to child
// processes. -1 (errno set) when the file cannot be made; the folder must exist.
int OpenLogFile(const std::string& path);

// Writes the line with a single write(), so it lands whole next to other writers' lines.
// True when all of it reached the file; a log never retries or blocks its caller.
bool WriteLogLine(int fd, std::string_view line);

// Closes fd (when open) and sets it to -1.
void CloseLogFile(int& fd);

}  // namespace plat
