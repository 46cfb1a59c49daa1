/* A host that links only the driver and never loads a host library itself:
 * it asks for a port that does not exist, then carries on. Prints the
 * result of the open, whether a libdravun.so is in the process afterwards,
 * and that it went on. */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include "zelqd/zelqd.h"

int main(int argc, char** argv) {
  static DriverInstance instance;
  OpenRequest request;
  DriverCall call;
  DriverInfo info;
  void* dravun;
  int opened;

  memset(&request, 0, sizeof request);
  strncpy(request.name, argc > 1 ? argv[1] : "/dev/nozq", sizeof request.name - 1);
  request.active = 1;
  request.replyTimeout = 120;
  request.settings.baudRate = 9600;
  request.settings.dataBits = 8;

  memset(&call, 0, sizeof call);
  call.instance = &instance;
  call.code = CodeOpenPort;
  call.params = &request;
  opened = ZelMain(&call);

  dravun = dlopen("libdravun.so", RTLD_NOW | RTLD_NOLOAD);
  printf("open=%d dravun=%s\n", opened, dravun != NULL ? "loaded" : "absent");

  memset(&info, 0, sizeof info);
  call.code = CodeGetDriverInfo;
  call.params = &info;
  printf("after=%d\n", ZelMain(&call));
  return 0;
}
