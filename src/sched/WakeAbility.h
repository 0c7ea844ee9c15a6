// Whether this machine will probably wake for a program's timer.
#pragma once

#include "core/LogLines.h"

namespace vrln {

// Why not where the power plan's "Allow wake timers" is off, or on for
// important timers only, for the power source in use, or where the machine
// sleeps in Modern Standby and has no S3 sleep. A query that fails tells
// nothing: it can wake.
core::WakeAbility ProgramsWakeAbility();
inline bool PowerSettingsLetProgramsWake() { return ProgramsWakeAbility() == core::WakeAbility::CanWake; }

}  // namespace vrln
