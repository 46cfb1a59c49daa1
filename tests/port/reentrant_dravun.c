/* A libdravun.so whose initialiser makes the driver fail an open, as a host
 * library that checks its line when it is loaded might: the driver is in
 * the middle of looking up err in this very library at that moment. Its err
 * prints each message on standard output. */
#include <dlfcn.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "zelqd/zelqd.h"

int err(int code, const char* format, ...);
int err(int code, const char* format, ...) {
  va_list args;
  va_start(args, format);
  printf("err %d: ", code);
  vprintf(format, args);
  printf("\n");
  va_end(args);
  fflush(stdout);
  return 0;
}

typedef int32_t(ZELQD_CALL* ZelMainFunction)(const DriverCall*);

__attribute__((constructor)) static void OpenAtLoad(void) {
  static DriverInstance instance;
  OpenRequest request;
  DriverCall call;
  ZelMainFunction zelMain;
  void* symbol = dlsym(RTLD_DEFAULT, "ZelMain");
  if (symbol == NULL) return;
  memcpy(&zelMain, &symbol, sizeof zelMain);
  memset(&request, 0, sizeof request);
  strncpy(request.name, "/dev/nozq2", sizeof request.name - 1);
  request.active = 1;
  request.settings.baudRate = 9600;
  request.settings.dataBits = 8;
  memset(&call, 0, sizeof call);
  call.instance = &instance;
  call.code = CodeOpenPort;
  call.params = &request;
  printf("initialiser open=%d\n", (int)zelMain(&call));
  fflush(stdout);
}
