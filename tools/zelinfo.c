/* Prints the driver description as a host sees it, through ZelMain. */
#include <stdio.h>
#include <string.h>

#include "zelqd/zelqd.h"

/* Code page 437 box and shade characters used by the banner, as UTF-8. */
static const char *Cp437(unsigned char c) {
  switch (c) {
    case 0xB0: return "\u2591";
    case 0xB1: return "\u2592";
    case 0xB2: return "\u2593";
    case 0xBA: return "\u2551";
    case 0xBB: return "\u2557";
    case 0xBC: return "\u255D";
    case 0xC8: return "\u255A";
    case 0xC9: return "\u2554";
    case 0xCD: return "\u2550";
    case 0xDB: return "\u2588";
    default: return NULL;
  }
}

int main(void) {
  DriverInfo info;
  DriverCall call;
  memset(&info, 0, sizeof info);
  memset(&call, 0, sizeof call);
  call.code = CodeGetDriverInfo;
  call.params = &info;
  if (ZelMain(&call) != ResultOk) {
    fprintf(stderr, "zelinfo: GetDriverInfo failed\n");
    return 1;
  }
  for (const unsigned char *p = (const unsigned char *)info.banner; *p; ++p) {
    const char *u = Cp437(*p);
    if (u) fputs(u, stdout); else putchar(*p);
  }
  printf("\nshort name: %s\ninstance size: %d bytes\n", info.shortName, (int)info.instanceSize);
  return 0;
}
