#include "platform/version.h"

#ifndef DRV_VERSION_STRING
#error "DRV_VERSION_STRING must be set by the build"
#endif

namespace drv {

const char* DriverVersionString() { return DRV_VERSION_STRING; }

}  // namespace drv
