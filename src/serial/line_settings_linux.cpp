// termios2 access. This file must not include <termios.h>: its struct termios and
// constants differ from the kernel's in <asm/termbits.h>.
#include "line_settings_linux.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cstddef>
#include <cstring>

static_assert(sizeof(PortSettings) == sizeof(struct termios2), "PortSettings mirrors termios2");
static_assert(offsetof(PortSettings, c_cflag) == offsetof(struct termios2, c_cflag), "c_cflag");
static_assert(offsetof(PortSettings, c_line) == offsetof(struct termios2, c_line), "c_line");
static_assert(sizeof(PortSettings::c_cc) == sizeof(termios2::c_cc), "c_cc");
static_assert(offsetof(PortSettings, c_ispeed) == offsetof(struct termios2, c_ispeed), "c_ispeed");
static_assert(offsetof(PortSettings, c_ospeed) == offsetof(struct termios2, c_ospeed), "c_ospeed");

namespace {

// Rates of the classic Bnnn codes, for drivers that report one without c_ospeed.
struct CodedRate {
    uint32_t code;
    uint32_t baud;
};
const CodedRate kCodedRates[] = {
    {B50, 50},         {B75, 75},         {B110, 110},         {B134, 134},
    {B150, 150},       {B200, 200},       {B300, 300},         {B600, 600},
    {B1200, 1200},     {B1800, 1800},     {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},     {B19200, 19200},   {B38400, 38400},     {B57600, 57600},
    {B115200, 115200}, {B230400, 230400}, {B460800, 460800},   {B500000, 500000},
    {B576000, 576000}, {B921600, 921600}, {B1000000, 1000000}, {B1152000, 1152000},
};

uint32_t output_rate(const PortSettings& s) {
    if (s.c_ospeed != 0) {
        return s.c_ospeed;
    }
    const uint32_t code = s.c_cflag & CBAUD;
    for (const CodedRate& rate : kCodedRates) {
        if (rate.code == code) {
            return rate.baud;
        }
    }
    return 0;
}

uint8_t data_bits(uint32_t cflag) {
    switch (cflag & CSIZE) {
    case CS5:
        return 5;
    case CS6:
        return 6;
    case CS7:
        return 7;
    default:
        return 8;
    }
}

} // namespace

bool line_read(int fd, PortSettings& settings) {
    struct termios2 tio;
    if (ioctl(fd, TCGETS2, &tio) != 0) {
        return false;
    }
    std::memcpy(&settings, &tio, sizeof tio);
    return true;
}

bool line_write(int fd, const PortSettings& settings) {
    struct termios2 tio;
    std::memcpy(&tio, &settings, sizeof tio);
    return ioctl(fd, TCSETS2, &tio) == 0;
}

void line_make_raw(PortSettings& s) {
    s.c_iflag &= ~static_cast<uint32_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXOFF | IXANY);
    s.c_oflag &= ~static_cast<uint32_t>(OPOST);
    s.c_lflag &= ~static_cast<uint32_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    s.c_cflag |= CLOCAL;
    s.c_cc[VMIN] = 1;
    s.c_cc[VTIME] = 0;
}

void line_set(PortSettings& s, uint32_t baud, uint8_t bits, uint8_t parity, uint8_t stop_bits) {
    s.c_cflag &= ~static_cast<uint32_t>(CBAUD | (CBAUD << IBSHIFT) | CSIZE | PARENB | PARODD |
                                        CMSPAR | CSTOPB);
    s.c_cflag |= BOTHER; // input speed 0: same as output
    switch (bits) {
    case 5:
        s.c_cflag |= CS5;
        break;
    case 6:
        s.c_cflag |= CS6;
        break;
    case 7:
        s.c_cflag |= CS7;
        break;
    default:
        s.c_cflag |= CS8;
        break;
    }
    if (parity == 2) {
        s.c_cflag |= PARENB;
    }
    if (stop_bits == 2) {
        s.c_cflag |= CSTOPB;
    }
    s.c_ospeed = baud;
    s.c_ispeed = baud;
}

LineFrame line_frame(const PortSettings& s) {
    LineFrame f;
    f.baud = output_rate(s);
    f.data_bits = data_bits(s.c_cflag);
    f.parity_on = (s.c_cflag & PARENB) != 0;
    f.even_parity = f.parity_on && (s.c_cflag & (PARODD | CMSPAR)) == 0;
    f.two_stop_bits = (s.c_cflag & CSTOPB) != 0;
    f.raw = (s.c_oflag & OPOST) == 0 && (s.c_lflag & (ECHO | ECHONL | ICANON | ISIG)) == 0 &&
            (s.c_iflag & (IXON | IXOFF)) == 0 && (s.c_cflag & CLOCAL) != 0;
    return f;
}

bool line_matches(const PortSettings& want, const PortSettings& got, bool frame_too) {
    const LineFrame w = line_frame(want);
    const LineFrame g = line_frame(got);
    // A driver may read back the rate its divisor makes (56074.77 for 56000):
    // within 1 % it is the row's rate.
    const uint64_t off = w.baud > g.baud ? w.baud - g.baud : g.baud - w.baud;
    return off * 100 <= w.baud &&
           (!frame_too || (w.data_bits == g.data_bits && w.parity_on == g.parity_on &&
                           w.even_parity == g.even_parity && w.two_stop_bits == g.two_stop_bits));
}

int64_t line_frame_ns(const PortSettings& s) {
    const LineFrame f = line_frame(s);
    const int64_t bits = 1 + f.data_bits + (f.parity_on ? 1 : 0) + (f.two_stop_bits ? 2 : 1);
    const int64_t baud = f.baud != 0 ? f.baud : 9600; // B0 hangs up the line; any pace will do
    return bits * 1000000000 / baud;
}
