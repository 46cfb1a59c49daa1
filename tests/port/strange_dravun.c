/* A library named libdravun.so that does not define err but, like any real
 * library, depends on the C library: a lookup of err through its handle
 * reaches the C library's err(3). */
#include <stdio.h>

int DravunStrangerMarker(void);
int DravunStrangerMarker(void) { return puts("stranger"); }
