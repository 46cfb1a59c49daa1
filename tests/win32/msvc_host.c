/*
 * A host compiled in the mode of Microsoft's compiler and linked by an
 * MSVC-style linker (lld-link) against zelqd.lib, without any C library:
 * it shows that the public header compiles there, that the records keep
 * their offsets whatever packing the host asks for (this file is compiled
 * with the tightest, 1), and that the decorated reference _ZelMain@4 binds
 * to the DLL's export ZelMain. It is linked, not run.
 */
#include <stddef.h>

#include "zelqd/zelqd.h"

#define ZELQD_CHECK(name, condition) typedef char name[(condition) ? 1 : -1]

ZELQD_CHECK(instance_size, sizeof(DriverInstance) == 684);
ZELQD_CHECK(instance_sequence, offsetof(DriverInstance, sequence) == 652);
ZELQD_CHECK(instance_port_spec, offsetof(DriverInstance, portSpec) == 660);
ZELQD_CHECK(port_spec_flags, offsetof(PortSpec, controlFlags) == 20);
ZELQD_CHECK(call_size, sizeof(DriverCall) == 20);
ZELQD_CHECK(call_params, offsetof(DriverCall, params) == 16);
ZELQD_CHECK(info_size, sizeof(DriverInfo) == 32);
ZELQD_CHECK(info_flag_b, offsetof(DriverInfo, infoFlagB) == 28);
ZELQD_CHECK(address_size, sizeof(AddressRequest) == 36);
ZELQD_CHECK(open_size, sizeof(OpenRequest) == 28);
ZELQD_CHECK(open_settings, offsetof(OpenRequest, settings) == 20);
ZELQD_CHECK(change_size, sizeof(PortChangeRequest) == 24);
ZELQD_CHECK(transfer_size, sizeof(TransferRequest) == 44);
ZELQD_CHECK(transfer_values, offsetof(TransferRequest, values) == 40);
ZELQD_CHECK(int32_width, sizeof(int32_t) == 4 && sizeof(uint16_t) == 2 && sizeof(uint8_t) == 1);

static DriverCall g_call;
static DriverInfo g_info;

int __cdecl HostEntry(void) {
  ZelMainFunction byPointer = ZelMain;
  g_call.code = CodeGetDriverInfo;
  g_call.params = &g_info;
  return byPointer(&g_call) == ResultOk && g_info.instanceSize == ZELQD_INSTANCE_SIZE ? 0 : 1;
}
