#include "serial/posix/line.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#ifdef __linux__
#include <linux/serial.h>
#include <sys/sysmacros.h>
#endif

#include <cerrno>
#include <cstdint>

#include "serial/posix/speed.h"

namespace zelqd::serial::posix {
namespace {

constexpr std::uint8_t kParityNone = 0;
constexpr std::uint8_t kParityOdd = 1;
constexpr std::uint8_t kParityEven = 2;
constexpr std::uint8_t kParityMark = 3;
constexpr std::uint8_t kParitySpace = 4;
constexpr std::uint8_t kOneStopBit = 0;
constexpr std::uint8_t kOneAndHalfStopBits = 1;
constexpr std::uint8_t kTwoStopBits = 2;

// A rate the device took may differ from the one asked by this fraction
// (1/32, about 3 %) before the frames stop being readable.
constexpr std::uint32_t kRateToleranceShift = 5;

#ifdef CMSPAR
constexpr tcflag_t kStickParity = CMSPAR;
#else
constexpr tcflag_t kStickParity = 0;
#endif

constexpr tcflag_t kFraming = CSIZE | PARENB | PARODD | kStickParity | CSTOPB;

tcflag_t CharSize(std::uint8_t bits) {
  switch (bits) {
    case 5:
      return CS5;
    case 6:
      return CS6;
    case 7:
      return CS7;
    default:
      return CS8;
  }
}

tcflag_t ParityFlags(std::uint8_t parity) {
  switch (parity) {
    case kParityOdd:
      return PARENB | PARODD;
    case kParityEven:
      return PARENB;
    case kParityMark:
      return PARENB | kStickParity | PARODD;
    case kParitySpace:
      return PARENB | kStickParity;
    default:
      return 0;
  }
}

std::uint8_t ByteSizeOf(tcflag_t cflag) {
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

std::uint8_t ParityOf(tcflag_t cflag) {
  if (!(cflag & PARENB)) return kParityNone;
  const bool odd = (cflag & PARODD) != 0;
  if (kStickParity != 0 && (cflag & kStickParity)) return odd ? kParityMark : kParitySpace;
  return odd ? kParityOdd : kParityEven;
}

// tcsetattr() succeeds when any one change took effect: compare what counts.
bool Took(const termios& want, const termios& got, bool pseudoTerminal) {
  const tcflag_t cflagMask = CRTSCTS | CLOCAL | CREAD | HUPCL | (pseudoTerminal ? 0 : kFraming);
  constexpr tcflag_t kIflagMask = IXON | IXOFF | INPCK | ICRNL | INLCR | IGNCR | ISTRIP;
  constexpr tcflag_t kLflagMask = ICANON | ECHO | ISIG | IEXTEN;
  return (want.c_cflag & cflagMask) == (got.c_cflag & cflagMask) &&
         (want.c_iflag & kIflagMask) == (got.c_iflag & kIflagMask) &&
         (want.c_lflag & kLflagMask) == (got.c_lflag & kLflagMask) &&
         (want.c_oflag & OPOST) == (got.c_oflag & OPOST) && got.c_cc[VMIN] == want.c_cc[VMIN] &&
         got.c_cc[VTIME] == want.c_cc[VTIME];
}

bool RateTook(std::uint32_t asked, std::uint32_t actual) {
  const std::uint32_t diff = asked > actual ? asked - actual : actual - asked;
  return diff <= (asked >> kRateToleranceShift);
}

// A device without modem lines answers the modem-line calls so.
bool NoModemLines(int error) { return error == ENOTTY || error == EINVAL; }

bool ModemLines(int fd, unsigned long request, int lines) {
  if (lines == 0) return true;
  return ioctl(fd, request, &lines) == 0 || NoModemLines(errno);
}

// Switches the kernel's RS485 mode on for RTS toggle (RTS high while
// sending, low after) and off for every other RTS mode. *inForce tells
// whether the kernel now drives RTS; a device without the mode is no
// failure.
bool Rs485(int fd, bool toggle, bool* inForce) {
  *inForce = false;
#if defined(__linux__) && defined(TIOCSRS485)
  serial_rs485 conf{};
  if (ioctl(fd, TIOCGRS485, &conf) != 0) return NoModemLines(errno);
  const bool enabled = (conf.flags & SER_RS485_ENABLED) != 0;
  if (!toggle && !enabled) return true;
  if (toggle) {
    conf.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    conf.flags &= ~static_cast<decltype(conf.flags)>(SER_RS485_RTS_AFTER_SEND);
  } else {
    conf.flags &= ~static_cast<decltype(conf.flags)>(SER_RS485_ENABLED);
  }
  if (ioctl(fd, TIOCSRS485, &conf) != 0) return toggle && NoModemLines(errno);
  *inForce = toggle;
  return true;
#else
  (void)fd;
  (void)toggle;
  return true;
#endif
}

bool ApplyModemLines(int fd, const DeviceState& s) {
  bool rs485 = false;
  if (!Rs485(fd, s.rtsControl == kRtsToggle, &rs485)) return false;
  int raise = 0;
  int lower = 0;
  (s.dtrControl == kDtrDisable ? lower : raise) |= TIOCM_DTR;
  switch (s.rtsControl) {
    case kRtsEnable:
    case kRtsHandshake:
      raise |= TIOCM_RTS;
      break;
    case kRtsToggle:
      if (!rs485) lower |= TIOCM_RTS;  // in RS485 mode the kernel drives RTS
      break;
    default:
      lower |= TIOCM_RTS;
      break;
  }
  return ModemLines(fd, TIOCMBIS, raise) && ModemLines(fd, TIOCMBIC, lower);
}

}  // namespace

bool ValidState(const DeviceState& s) {
  if (s.baudRate == 0) return false;
  if (s.byteSize < 5 || s.byteSize > 8) return false;
  if (s.parity > kParitySpace) return false;
  if ((s.parity == kParityMark || s.parity == kParitySpace) && kStickParity == 0) return false;
  if (s.stopBits > kTwoStopBits) return false;
  return s.dtrControl <= kDtrHandshake && s.rtsControl <= kRtsToggle;
}

termios RawTermios(const termios& current, const DeviceState& s) {
  termios t = current;
  t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR |
                                      IGNCR | ICRNL | IXON | IXANY | IXOFF | IMAXBEL);
#ifdef IUCLC
  t.c_iflag &= ~static_cast<tcflag_t>(IUCLC);
#endif
#ifdef IUTF8
  t.c_iflag &= ~static_cast<tcflag_t>(IUTF8);
#endif
  if (s.outX) t.c_iflag |= IXON;
  if (s.inX) t.c_iflag |= IXOFF;
  if (s.parityCheck && s.parity != kParityNone) t.c_iflag |= INPCK;
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL |
                                      ECHOPRT | ECHOKE | IEXTEN | TOSTOP);
  t.c_cflag &= ~(kFraming | CRTSCTS | HUPCL);
  t.c_cflag |= CLOCAL | CREAD | CharSize(s.byteSize) | ParityFlags(s.parity);
  if (s.stopBits != kOneStopBit) t.c_cflag |= CSTOPB;
  // RTS handshake is input flow control; termios offers it only together
  // with CTS output flow control.
  if (s.rtsControl == kRtsHandshake || s.outxCtsFlow != 0) t.c_cflag |= CRTSCTS;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (s.xonChar != 0) t.c_cc[VSTART] = static_cast<cc_t>(s.xonChar);
  if (s.xoffChar != 0) t.c_cc[VSTOP] = static_cast<cc_t>(s.xoffChar);
  return t;
}

void StateFromTermios(const termios& t, DeviceState* state) {
  state->byteSize = ByteSizeOf(t.c_cflag);
  state->parity = ParityOf(t.c_cflag);
  if (!(t.c_cflag & CSTOPB)) {
    state->stopBits = kOneStopBit;
  } else if (state->stopBits != kOneAndHalfStopBits) {
    state->stopBits = kTwoStopBits;
  }
  state->outX = (t.c_iflag & IXON) ? 1 : 0;
  state->inX = (t.c_iflag & IXOFF) ? 1 : 0;
  state->xonChar = static_cast<char>(t.c_cc[VSTART]);
  state->xoffChar = static_cast<char>(t.c_cc[VSTOP]);
}

bool IsPseudoTerminal(int fd) {
#ifdef __linux__
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  const unsigned int driver = major(st.st_rdev);
  // Unix98 slaves (136..143) and the legacy BSD slaves (3).
  return (driver >= 136 && driver <= 143) || driver == 3;
#else
  (void)fd;
  return false;
#endif
}

bool SaveRs485(int fd, std::uint32_t* flags) {
#if defined(__linux__) && defined(TIOCSRS485)
  serial_rs485 conf{};
  if (ioctl(fd, TIOCGRS485, &conf) != 0) return false;
  *flags = conf.flags;
  return true;
#else
  (void)fd;
  (void)flags;
  return false;
#endif
}

void RestoreRs485(int fd, std::uint32_t flags) {
#if defined(__linux__) && defined(TIOCSRS485)
  serial_rs485 conf{};
  if (ioctl(fd, TIOCGRS485, &conf) != 0 || conf.flags == flags) return;
  conf.flags = flags;
  ioctl(fd, TIOCSRS485, &conf);
#else
  (void)fd;
  (void)flags;
#endif
}

bool ReadLine(int fd, DeviceState* state) {
  termios t{};
  std::uint32_t baud = 0;
  if (tcgetattr(fd, &t) != 0 || !GetLineSpeed(fd, &baud)) return false;
  state->baudRate = baud;
  StateFromTermios(t, state);
  return true;
}

bool ApplyLine(int fd, bool pseudoTerminal, const DeviceState& state) {
  if (!ValidState(state)) {
    errno = EINVAL;
    return false;
  }
  termios current{};
  if (tcgetattr(fd, &current) != 0) return false;
  const termios want = RawTermios(current, state);
  // glibc reads the settings back itself and reports EINVAL when the
  // character size or parity did not take, which on a pseudo-terminal they
  // never do; the comparison below checks the rest.
  if (tcsetattr(fd, TCSANOW, &want) != 0 && !(pseudoTerminal && errno == EINVAL)) return false;
  std::uint32_t rate = 0;
  if (!SetLineSpeed(fd, state.baudRate, &rate)) return false;
  termios got{};
  if (tcgetattr(fd, &got) != 0) return false;
  if (!Took(want, got, pseudoTerminal) || !RateTook(state.baudRate, rate)) {
    errno = EINVAL;
    return false;
  }
  return pseudoTerminal || ApplyModemLines(fd, state);
}

}  // namespace zelqd::serial::posix
