// The receiving side's decoder without a connection or a call: for validation tools and the
// fuzz target. Object references are parsed, not resolved; nothing is called or allocated
// beyond what the frame's own bytes bound.
#pragma once
#include <cstdint>
#include <span>

#include "platform/rpc/marshal.h"

namespace plat::rpc {

enum class Decoded { Malformed, Hello, Request, Reply, Release, Abandon };

// What the reader does with a frame that claims `len` bytes: reads it, answers and skips it
// (too large, after the hello) or ends the connection.
enum class FrameLength { Take, Skip, Refuse };
FrameLength CheckFrameLength(uint32_t len, bool hello_seen);

// `body` is one frame after its length. A request is decoded against the method it names (any
// registered interface; the activator and QueryInterface included). A reply's out parameters
// are decoded against `reply_iface`'s method `reply_method` when given.
Decoded DecodeFrame(std::span<const uint8_t> body, const InterfaceInfo* reply_iface = nullptr,
                    uint16_t reply_method = 0);

}  // namespace plat::rpc
