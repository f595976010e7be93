// termios2 lives in the kernel's headers, which clash with <termios.h>, so
// this file includes only them.
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace vandry_monitor {

bool set_sbus_line(int fd) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0) return false;
    tio.c_iflag = 0;
    tio.c_oflag = 0;
    tio.c_lflag = 0;
    tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | CSIZE | PARODD | CRTSCTS);
    tio.c_cflag |= BOTHER | CS8 | PARENB | CSTOPB | CLOCAL | CREAD;  // 8 data bits, even parity, 2 stop bits
    tio.c_ispeed = 100000;
    tio.c_ospeed = 100000;
    return ioctl(fd, TCSETS2, &tio) == 0;
}

}  // namespace vandry_monitor
