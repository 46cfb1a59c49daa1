/* A host written in C: the public header must compile as C and give the same
 * record layout as the driver's C++ view of it. */
#include <stddef.h>
#include <string.h>

#include "zelqd/zelqd.h"

#define FIELD(type, field) \
  { #type "." #field, offsetof(type, field), sizeof(((type*)0)->field) }

typedef struct {
  const char* name;
  size_t offset;
  size_t width;
} CLayoutRow;

static const CLayoutRow kRows[] = {
    FIELD(DriverCall, instance),
    FIELD(DriverCall, code),
    FIELD(DriverCall, params),
    FIELD(DriverInstance, replyTimeout),
    FIELD(DriverInstance, port),
    FIELD(DriverInstance, active),
    FIELD(DriverInstance, sequence),
    FIELD(DriverInstance, leadByte),
    FIELD(DriverInstance, stopped),
    FIELD(DriverInstance, portSpec),
    FIELD(PortSpec, settings),
    FIELD(PortSpec, controlFlags),
    FIELD(LineSettings, dataBits),
    FIELD(LineSettings, stopBits),
    FIELD(LineSettings, parity),
    FIELD(DriverInfo, shortName),
    FIELD(DriverInfo, banner),
    FIELD(DriverInfo, instanceSize),
    FIELD(DriverInfo, infoFlagA),
    FIELD(DriverInfo, reserved20),
    FIELD(DriverInfo, infoFlagB),
    FIELD(AddressRequest, accessKind),
    FIELD(AddressRequest, presetZero),
    FIELD(AddressRequest, variableNumber),
    FIELD(AddressRequest, presetThirtyTwo),
    FIELD(OpenRequest, active),
    FIELD(OpenRequest, replyTimeout),
    FIELD(OpenRequest, settings),
    FIELD(PortChangeRequest, settings),
    FIELD(TransferRequest, variableNumber),
    FIELD(TransferRequest, variableClass),
    FIELD(TransferRequest, valueCount),
    FIELD(TransferRequest, values),
};

size_t CLayoutRowCount(void) { return sizeof kRows / sizeof kRows[0]; }

int CLayoutRowAt(size_t i, const char** name, size_t* offset, size_t* width) {
  if (i >= CLayoutRowCount()) return 0;
  *name = kRows[i].name;
  *offset = kRows[i].offset;
  *width = kRows[i].width;
  return 1;
}

size_t CRecordSize(const char* record) {
  if (strcmp(record, "DriverCall") == 0) return sizeof(DriverCall);
  if (strcmp(record, "DriverInstance") == 0) return sizeof(DriverInstance);
  if (strcmp(record, "DriverInfo") == 0) return sizeof(DriverInfo);
  if (strcmp(record, "AddressRequest") == 0) return sizeof(AddressRequest);
  if (strcmp(record, "OpenRequest") == 0) return sizeof(OpenRequest);
  if (strcmp(record, "PortChangeRequest") == 0) return sizeof(PortChangeRequest);
  if (strcmp(record, "TransferRequest") == 0) return sizeof(TransferRequest);
  return 0;
}

/* Calls the driver the way a C host does. */
int CHostInstanceSize(void) {
  DriverInfo info;
  DriverCall call;
  memset(&info, 0, sizeof info);
  memset(&call, 0, sizeof call);
  call.code = CodeGetDriverInfo;
  call.params = &info;
  if (ZelMain(&call) != ResultOk) return -1;
  return info.instanceSize;
}
