#pragma once

#include <cstdint>
#include <optional>

namespace drv {

// Programs an arbitrary receive and transmit rate in bit/s on the tty fd through the kernel's termios2
// interface, leaving every other setting as it is. False, with errno set, when the device refuses it.
bool SetArbitraryRate(int fd, std::uint32_t rate);
// The transmit rate the tty fd is programmed with, as termios2 reports it; nullopt with errno set on failure.
std::optional<std::uint32_t> ProgrammedRate(int fd);

}  // namespace drv
