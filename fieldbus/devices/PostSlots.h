// What the post's sources share (Post.cpp, PostWrite.cpp): the kind codes of its slots and their
// places in its slot table. Private to the post.
#pragma once
#include <cstddef>

#include "fieldbus/core/ModbusPdu.h"

namespace mb::post_detail {

// Kind codes of the post's slots.
inline constexpr int kCodeFlags = 32;
inline constexpr int kCodeSensorEx = 33;
inline constexpr int kCodeState = 34;
inline constexpr int kCodeTopDistance = 35;
inline constexpr int kCodeBasePost = 53;
inline constexpr int kCodeDozeMicro = 54;
inline constexpr int kCodeException = 99;
// A value kept by the library, never read from the unit.
// decisions DEV-7
inline constexpr int kCodeFixed = -1;

enum PostSlot : size_t {
    kState,
    kSide,
    kAddress,
    kFlags,
    kEarthed,
    kTrap,
    kHandle,
    kOverFill,
    kGas,
    kHandleGr,
    kStartStop,
    kTotalV,
    kCurrentV,
    kDozeV,
    kProductivity,
    kPowerPlat,
    kSnap,
    kBasePost,
    kTotalW,
    kCurrentW,
    kDozeW,
    // decisions DEV-1
    kProductivityW,
    kDensity,
    kTemperature,
    kException,
    kExceptionParameter,
    kTopDistance,
    kTopDistanceLim,
    kDozeMicro,
    kSensorEx,
    kEarthedEx,
    kAirValve,
    kUss,
    kSensorWait,
    kFullUp,
    kFullDown,
    kDecimalPoint,
};

// A dose slot (volume or mass).
inline bool IsDose(size_t i) {
    return i == kDozeV || i == kDozeW;
}

// The unit's answer to a request on a post that another client has taken.
inline constexpr int kExceptionLocked = kMbDeviceException + 0x48;

}  // namespace mb::post_detail
