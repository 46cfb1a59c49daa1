#include "driver/port_control.h"

#include <cstddef>
#include <cstring>

#include "driver/driver_info.h"
#include "driver/host_messages.h"
#include "protocol/outcome.h"
#include "serial/com.h"

namespace zelqd {
namespace {

// The reply time-out never goes below the floor of the public header.
constexpr std::int32_t kMinReplyTimeout = ZELQD_MIN_READ_TIMEOUT_MS / ZELQD_TIMEOUT_UNIT_MS;
// What OpenPort passes for DTR and RTS: both disabled.
constexpr std::uint16_t kOpenControlFlags = 8;
// Protocol state after OpenPort.
constexpr std::uint16_t kFirstSequence = 32;
constexpr std::uint8_t kLeadByte = 4;

constexpr std::size_t kNameField = sizeof(PortSpec::name);

// A name fits a PortSpec when its terminator lies within the 12 bytes of the
// stored field. Nothing beyond those bytes is read.
bool NameFits(const char* name) { return std::memchr(name, '\0', kNameField) != nullptr; }

// Copies a fitting name up to and including its terminator; the bytes after
// the terminator stay as they were.
void CopyName(char (&to)[kNameField], const char* from) {
  const std::size_t length = std::strlen(from);  // below kNameField: NameFits
  std::memcpy(to, from, length + 1);
}

bool SameName(const char* a, const char* b) { return std::strncmp(a, b, kNameField) == 0; }

std::int32_t AtLeastMinimum(std::int32_t timeout) {
  return timeout < kMinReplyTimeout ? kMinReplyTimeout : timeout;
}

// The closing steps shared by ClosePort, Shutdown and the port changes: a
// failed close keeps the handle so that a later close can try again.
std::int32_t CloseHeldPort(DriverInstance& instance) {
  if (instance.port == 0) return ResultOk;
  if (serial::ComClose(instance.port) != serial::ComOk) return ResultFailed;
  instance.port = 0;
  return ResultOk;
}

// The record of a failed open of instance's call (nameSize: the bytes of
// the name's field), when the observer or the trace takes it.
void RecordOpenFailure(const DriverInstance& instance, const char* name, std::size_t nameSize,
                       const serial::OpenFailure& failure) {
  if (protocol::RecordsWanted()) {
    protocol::Publish(protocol::OpenOutcome(&instance, name, nameSize, failure));
  }
}

// Opens the port that wanted names; on failure the record tells why.
bool OpenDevice(const DriverInstance& instance, const PortSpec& wanted, serial::Handle* handle) {
  serial::OpenFailure failure;
  if (serial::ComOpen(wanted.name, wanted.settings, wanted.controlFlags, handle, &failure) ==
      serial::ComOk) {
    return true;
  }
  RecordOpenFailure(instance, wanted.name, kNameField, failure);
  return false;
}

// A name whose terminator is not within the stored field's bytes.
std::int32_t RefuseName(const DriverInstance& instance, const char* name, std::size_t field) {
  RecordOpenFailure(instance, name, field, serial::NameDoesNotFit());
  return ResultFailed;
}

std::int32_t ReportOpenFailed(const char* name) {
  HostErr()(kHostMessageCode, "ZEL%s : Fail to open %s", kShortName, name);
  return ResultFailed;
}

std::int32_t ReportChangeFailed() {
  HostErr()(kHostMessageCode, "ZELKR7> ChangeZelParams() open new COM port failed");
  return ResultFailed;
}

}  // namespace

std::int32_t OpenPort(DriverInstance& instance, const OpenRequest& request) {
  instance.active = request.active;
  if (request.active == 0) return ResultOk;
  if (!NameFits(request.name)) return RefuseName(instance, request.name, sizeof request.name);

  PortSpec wanted{};
  CopyName(wanted.name, request.name);
  wanted.settings = request.settings;
  wanted.controlFlags = kOpenControlFlags;

  // A port held under another name is released first, so that its handle is
  // not lost when the new one takes its place. The same name is left to the
  // open below, which an exclusive device refuses.
  if (instance.port != 0 && !SameName(instance.portSpec.name, wanted.name)) {
    if (CloseHeldPort(instance) != ResultOk) return ReportOpenFailed(wanted.name);
  }

  serial::Handle handle = 0;
  if (!OpenDevice(instance, wanted, &handle)) return ReportOpenFailed(wanted.name);
  instance.port = handle;
  instance.replyTimeout = AtLeastMinimum(request.replyTimeout);
  serial::ComSetReadTimeout(handle, instance.replyTimeout);

  instance.portSpec = wanted;
  instance.sequence = kFirstSequence;
  instance.leadByte = kLeadByte;
  instance.stopped = 0;
  return ResultOk;
}

std::int32_t ReopenPort(DriverInstance& instance) {
  const PortSpec& wanted = instance.portSpec;
  if (!NameFits(wanted.name)) return RefuseName(instance, wanted.name, kNameField);

  // The read time-out stays the one the open configures.
  serial::Handle handle = 0;
  if (!OpenDevice(instance, wanted, &handle)) return ResultFailed;
  instance.port = handle;
  instance.active = 1;
  return ResultOk;
}

std::int32_t ChangeZelParams(DriverInstance& instance, const PortChangeRequest& request) {
  if (!NameFits(request.name)) return RefuseName(instance, request.name, sizeof request.name);

  PortSpec& wanted = instance.portSpec;
  // A held port under another name is closed first. If that close fails the
  // handle stays held and nothing is opened in its place.
  if (instance.port != 0 && !SameName(wanted.name, request.name)) {
    if (CloseHeldPort(instance) != ResultOk) return ReportChangeFailed();
  }

  CopyName(wanted.name, request.name);
  if (request.settings.baudRate != 0) wanted.settings = request.settings;

  serial::Handle handle = 0;
  if (!OpenDevice(instance, wanted, &handle)) return ReportChangeFailed();
  instance.port = handle;
  instance.active = 1;
  instance.replyTimeout = AtLeastMinimum(instance.replyTimeout);
  serial::ComSetReadTimeout(handle, instance.replyTimeout);
  return ResultOk;
}

std::int32_t PurgeInput(DriverInstance& instance) {
  if (instance.port != 0) serial::ComPurgeInput(instance.port);
  return ResultOk;
}

std::int32_t ClosePort(DriverInstance& instance) { return CloseHeldPort(instance); }

std::int32_t Shutdown(DriverInstance& instance) { return CloseHeldPort(instance); }

}  // namespace zelqd
