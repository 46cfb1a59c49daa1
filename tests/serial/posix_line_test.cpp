// The device control block to termios and back.
#include <gtest/gtest.h>

#include "serial/posix/line.h"

namespace zelqd::serial::posix {
namespace {

DeviceState State(std::uint8_t bits, std::uint8_t parity, std::uint8_t stop) {
  DeviceState s;
  s.baudRate = 9600;
  s.byteSize = bits;
  s.parity = parity;
  s.stopBits = stop;
  s.parityCheck = 1;
  return s;
}

// A termios as a terminal might hand it over: cooked, echoing, with
// hang-up on close and software flow control.
termios Cooked() {
  termios t{};
  t.c_iflag = ICRNL | IXON | IXANY | IMAXBEL | BRKINT | ISTRIP | INLCR | IGNCR | PARMRK;
  t.c_oflag = OPOST | ONLCR;
  t.c_cflag = CS7 | PARENB | HUPCL | CSTOPB | CRTSCTS | B9600;
  t.c_lflag = ICANON | ECHO | ECHOE | ISIG | IEXTEN | ECHOCTL | ECHOKE;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 5;
  t.c_cc[VSTART] = 0x11;
  t.c_cc[VSTOP] = 0x13;
  return t;
}

struct FramingCase {
  std::uint8_t bits, parity, stop;
  tcflag_t cflag;  // CSIZE, PARENB, PARODD, CMSPAR and CSTOPB
};

// Without it GoogleTest prints the case's raw bytes, padding included, which
// memcheck reports as a use of uninitialised memory.
void PrintTo(const FramingCase& c, std::ostream* os) {
  *os << static_cast<int>(c.bits) << " bits, parity " << static_cast<int>(c.parity) << ", stop "
      << static_cast<int>(c.stop);
}

class Framing : public ::testing::TestWithParam<FramingCase> {};

TEST_P(Framing, ToTermiosAndBack) {
  const FramingCase& c = GetParam();
  const termios t = RawTermios(Cooked(), State(c.bits, c.parity, c.stop));
  EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB), c.cflag);
  DeviceState back;
  back.stopBits = c.stop;  // what was applied last
  StateFromTermios(t, &back);
  EXPECT_EQ(back.byteSize, c.bits);
  EXPECT_EQ(back.parity, c.parity);
  EXPECT_EQ(back.stopBits, c.stop);
}

INSTANTIATE_TEST_SUITE_P(Table, Framing,
                         ::testing::Values(FramingCase{8, 0, 0, CS8},
                                           FramingCase{7, 2, 0, CS7 | PARENB},
                                           FramingCase{7, 1, 0, CS7 | PARENB | PARODD},
                                           FramingCase{8, 3, 0, CS8 | PARENB | PARODD | CMSPAR},
                                           FramingCase{8, 4, 0, CS8 | PARENB | CMSPAR},
                                           FramingCase{6, 0, 2, CS6 | CSTOPB},
                                           FramingCase{5, 0, 1, CS5 | CSTOPB},
                                           FramingCase{8, 2, 1, CS8 | PARENB | CSTOPB}));

TEST(RawTermios, RawModeLocalReceiverOnAndNoHangUpOnClose) {
  const termios t = RawTermios(Cooked(), State(8, 0, 0));
  EXPECT_EQ(t.c_iflag & (ICRNL | IXON | IXANY | IXOFF | IMAXBEL | BRKINT | ISTRIP | INLCR | IGNCR |
                         PARMRK | INPCK),
            0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHOE | ISIG | IEXTEN), 0u);
  EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), CLOCAL | CREAD);
  EXPECT_EQ(t.c_cflag & (HUPCL | CRTSCTS), 0u);
  EXPECT_EQ(t.c_cflag & CBAUD, static_cast<tcflag_t>(B9600));  // the rate is set apart
  EXPECT_EQ(t.c_cc[VMIN], 1);
  EXPECT_EQ(t.c_cc[VTIME], 0);
}

TEST(RawTermios, FlowControlAndParityChecking) {
  struct Case {
    std::uint8_t rts;
    std::uint8_t outxCts;
    bool crtscts;
  };
  for (const Case c :
       {Case{kRtsDisable, 0, false}, Case{kRtsEnable, 0, false}, Case{kRtsHandshake, 0, true},
        Case{kRtsToggle, 0, false}, Case{kRtsDisable, 1, true}}) {
    DeviceState s = State(8, 0, 0);
    s.rtsControl = c.rts;
    s.outxCtsFlow = c.outxCts;
    const termios t = RawTermios(Cooked(), s);
    EXPECT_EQ((t.c_cflag & CRTSCTS) != 0, c.crtscts) << int(c.rts);
    EXPECT_EQ(t.c_iflag & CRTSCTS, 0u);  // a c_cflag flag, never in c_iflag
  }
  DeviceState s = State(7, 2, 0);
  s.outX = 1;
  s.inX = 1;
  termios t = RawTermios(Cooked(), s);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | INPCK), IXON | IXOFF | INPCK);
  s.parityCheck = 0;
  t = RawTermios(Cooked(), s);
  EXPECT_EQ(t.c_iflag & INPCK, 0u);
  t = RawTermios(Cooked(), State(8, 0, 0));  // no parity: nothing to check
  EXPECT_EQ(t.c_iflag & INPCK, 0u);
}

TEST(StateFromTermios, TwoStopBitsUnlessOneAndAHalfWasApplied) {
  termios t{};
  t.c_cflag = CS8 | CSTOPB;
  DeviceState s;
  s.stopBits = 0;
  StateFromTermios(t, &s);
  EXPECT_EQ(s.stopBits, 2);
  s.stopBits = 1;
  StateFromTermios(t, &s);
  EXPECT_EQ(s.stopBits, 1);
  t.c_cflag = CS8;
  StateFromTermios(t, &s);
  EXPECT_EQ(s.stopBits, 0);
}

TEST(ValidState, RefusesWhatTermiosCannotDo) {
  EXPECT_TRUE(ValidState(State(8, 0, 0)));
  EXPECT_TRUE(ValidState(State(5, 4, 2)));
  DeviceState s = State(8, 0, 0);
  s.baudRate = 65535;
  EXPECT_TRUE(ValidState(s));
  s.baudRate = 0;
  EXPECT_FALSE(ValidState(s));
  EXPECT_FALSE(ValidState(State(4, 0, 0)));
  EXPECT_FALSE(ValidState(State(9, 0, 0)));
  EXPECT_FALSE(ValidState(State(8, 5, 0)));
  EXPECT_FALSE(ValidState(State(8, 0, 3)));
  s = State(8, 0, 0);
  s.dtrControl = 3;
  EXPECT_FALSE(ValidState(s));
  s.dtrControl = kDtrHandshake;
  s.rtsControl = 4;
  EXPECT_FALSE(ValidState(s));
}

}  // namespace
}  // namespace zelqd::serial::posix
