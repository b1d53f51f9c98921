#pragma once

namespace drv {

// The program's version, "major.minor.patch.build", set once in the build; it stands where a version
// resource would tell the file version.
const char* DriverVersionString();

}  // namespace drv
