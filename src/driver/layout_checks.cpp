// Compile-time checks of the host-visible record layouts.
#include <cstddef>

#include "zelqd/zelqd.h"

namespace {

#define ZELQD_AT(type, field, offset, width)                                    \
  static_assert(offsetof(type, field) == (offset), #type "." #field " offset"); \
  static_assert(sizeof(type::field) == (width), #type "." #field " width")

// Records without pointers: the same layout on every target.
ZELQD_AT(LineSettings, baudRate, 0, 2);
ZELQD_AT(LineSettings, dataBits, 2, 1);
ZELQD_AT(LineSettings, stopBits, 4, 1);
ZELQD_AT(LineSettings, parity, 6, 1);
static_assert(sizeof(LineSettings) == 8);

ZELQD_AT(PortSpec, name, 0, 12);
ZELQD_AT(PortSpec, settings, 12, 8);
ZELQD_AT(PortSpec, controlFlags, 20, 2);
static_assert(sizeof(PortSpec) == 22);

ZELQD_AT(DriverInstance, replyTimeout, 0, 4);
ZELQD_AT(DriverInstance, port, 4, 4);
ZELQD_AT(DriverInstance, active, 8, 4);
ZELQD_AT(DriverInstance, reserved12, 12, 640);
ZELQD_AT(DriverInstance, sequence, 652, 2);
ZELQD_AT(DriverInstance, leadByte, 654, 1);
ZELQD_AT(DriverInstance, stopped, 658, 2);
ZELQD_AT(DriverInstance, portSpec, 660, 22);
static_assert(sizeof(DriverInstance) == ZELQD_INSTANCE_SIZE);

ZELQD_AT(OpenRequest, name, 0, 12);
ZELQD_AT(OpenRequest, active, 12, 4);
ZELQD_AT(OpenRequest, replyTimeout, 16, 4);
ZELQD_AT(OpenRequest, settings, 20, 8);
static_assert(sizeof(OpenRequest) == 28);

ZELQD_AT(PortChangeRequest, name, 0, 16);
ZELQD_AT(PortChangeRequest, settings, 16, 8);
static_assert(sizeof(PortChangeRequest) == 24);

ZELQD_AT(ValueSlot, high, 0, 2);
ZELQD_AT(ValueSlot, low, 2, 2);
static_assert(sizeof(ValueSlot) == 4);

// Records with pointers: exact on ILP32 targets, natural C layout elsewhere.
constexpr std::size_t P = sizeof(void*);
static_assert(P == 4 || P == 8);
constexpr std::size_t Natural(std::size_t offset, std::size_t align) {
  return (offset + align - 1) / align * align;
}

// NOLINTNEXTLINE(bugprone-sizeof-expression): the width of a pointer field is checked.
ZELQD_AT(DriverCall, instance, 0, P);
ZELQD_AT(DriverCall, code, P, 4);
ZELQD_AT(DriverCall, reserved8, P + 4, 8);
ZELQD_AT(DriverCall, params, Natural(P + 12, P), P);
static_assert(P != 4 || sizeof(DriverCall) == 20);

ZELQD_AT(DriverInfo, infoTag, 0, 4);
ZELQD_AT(DriverInfo, shortName, Natural(4, P), P);
ZELQD_AT(DriverInfo, banner, Natural(4, P) + P, P);
ZELQD_AT(DriverInfo, instanceSize, Natural(4, P) + 2 * P, 4);
ZELQD_AT(DriverInfo, infoFlagA, Natural(4, P) + 2 * P + 4, 4);
ZELQD_AT(DriverInfo, reserved20, Natural(4, P) + 2 * P + 8, 8);
ZELQD_AT(DriverInfo, infoFlagB, Natural(4, P) + 2 * P + 16, 4);
static_assert(P != 4 || sizeof(DriverInfo) == 32);

ZELQD_AT(AddressRequest, addressText, 0, P);
ZELQD_AT(AddressRequest, reserved4, P, 4);
ZELQD_AT(AddressRequest, accessKind, P + 4, 4);
ZELQD_AT(AddressRequest, reserved12, P + 8, 4);
ZELQD_AT(AddressRequest, presetZero, P + 12, 4);
ZELQD_AT(AddressRequest, typeLetter, P + 16, 4);
ZELQD_AT(AddressRequest, variableNumber, P + 20, 4);
ZELQD_AT(AddressRequest, variableClass, P + 24, 4);
ZELQD_AT(AddressRequest, presetThirtyTwo, P + 28, 4);
static_assert(P != 4 || sizeof(AddressRequest) == 36);

ZELQD_AT(TransferRequest, variableNumber, 16, 4);
ZELQD_AT(TransferRequest, variableClass, 20, 4);
ZELQD_AT(TransferRequest, valueCount, 32, 4);
// NOLINTNEXTLINE(bugprone-sizeof-expression): the width of a pointer field is checked.
ZELQD_AT(TransferRequest, values, 40, P);
static_assert(P != 4 || sizeof(TransferRequest) == 44);

#undef ZELQD_AT

}  // namespace
