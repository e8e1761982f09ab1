// The controller classes of this library, made known to the probe.
#pragma once

namespace drv {

// Installs every driver class and the fallback; idempotent, call before the poll threads start.
void InstallDrivers();

}  // namespace drv
