// The termios2 calls live alone here: the kernel's termios header cannot share a translation unit with the C
// library's <termios.h>.
#include "serial/termios2.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "platform/uniquefd.h"

namespace drv {

bool SetArbitraryRate(int fd, std::uint32_t rate) {
    struct termios2 t {};
    if (RetryEintr([&] { return ::ioctl(fd, TCGETS2, &t); }) < 0) return false;
    t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = rate;
    t.c_ospeed = rate;
    return RetryEintr([&] { return ::ioctl(fd, TCSETS2, &t); }) == 0;
}

std::optional<std::uint32_t> ProgrammedRate(int fd) {
    struct termios2 t {};
    if (RetryEintr([&] { return ::ioctl(fd, TCGETS2, &t); }) < 0) return std::nullopt;
    return t.c_ospeed;
}

}  // namespace drv
