#pragma once

#include "platform/datetime.h"

namespace drv {

// Sets the machine's clock to the given local calendar time (to the millisecond). Returns 0, or the errno of the
// failure (EPERM without the right to set the clock, EINVAL for a time the local calendar cannot express).
// Needs CAP_SYS_TIME. Never called by tests: they inject their own clock setter.
int SetLocalClock(const DateTimeParts& local);

}  // namespace drv
