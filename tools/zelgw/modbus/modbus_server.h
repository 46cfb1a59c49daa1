// The Modbus TCP server: one listening socket, every client on one thread
// with poll(), the replies built by libmodbus.
//
// The unit id selects the line (with one line, 0 and 255 select it too). A variable is a 32-bit
// value in two holding registers (the register map of the line says where, and which half comes
// first). Reads of polled tags of good quality come from the cache; any
// other read goes through to the line, merged into block reads, and is
// answered when the driver has answered. Writes (function 16) of whole
// variables go to the line and are answered with the driver's result; $STOP
// is coil 0. While a client's request is with a line, that client's further
// requests wait (they are answered in order); other clients go on.
//
// Functions: 1 read coils (coil 0: $STOP), 3 and 4 read holding or input
// registers (the same registers), 5 write single coil and 15 write multiple
// coils (coil 0 only, and only on a line with stop_writable), 16 write
// multiple registers.
//
// Exceptions:
//   0x01 illegal function        a function not in the list above (also a
//                                code of 0x80 and above: answered fc | 0x80)
//   0x02 illegal data address    a register or coil in no range; a read of
//                                one register of a variable (unless the line
//                                has allow_half_reads); a write to a
//                                read-only tag, or to a variable without a tag
//                                when the line takes no untagged writes; a
//                                write of coil 0 ($STOP) on a line whose
//                                $STOP is read-only over Modbus (the default)
//   0x03 illegal data value      a quantity or byte count out of bounds, a
//                                write of half a variable (function 6 always),
//                                a coil value other than 0xFF00 or 0x0000
//   0x06 server device busy      too many requests waiting for the line
//   0x0A gateway path unavailable  the unit id selects no line; the line's
//                                port is closed or being reopened; the line's
//                                traffic is suspended by $STOP
//   0x0B gateway target device failed to respond  five attempts failed; a
//                                write or $STOP still waiting for the line
//                                when the gateway stops (not carried out)
//
// A request is either carried out whole or answered with an exception
// before anything is written; a write of several variables that fails at
// one of them (0x0B, 0x0A) has written those before it.
//
// A client is dropped when it sends a frame that is not Modbus TCP, when it
// says nothing for the idle time-out (counted from its last request or its
// last answer), when a frame it began stays incomplete for five seconds, or
// when it does not take its replies. A connection from an address outside
// the allow-list is closed at once. When the table is full, or the new
// connection's address has the most connections one address may hold, the
// connection idle the longest (of all, or of that address) is closed for
// it; when every one of them waits for a line, the new one is closed.
//
// On Stop(), no further request is taken; Finish() answers those with a
// line (a write in progress finishes and is answered, one that had not
// begun is answered 0x0B) and then closes the clients.
#pragma once

#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/gateway.h"
#include "modbus/modbus_settings.h"
#include "modbus/register_map.h"

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): libmodbus's name.
typedef struct _modbus modbus_t;

namespace zelgw {

inline constexpr int kIllegalFunction = 0x01;
inline constexpr int kIllegalDataAddress = 0x02;
inline constexpr int kIllegalDataValue = 0x03;
inline constexpr int kServerBusy = 0x06;
inline constexpr int kGatewayPathUnavailable = 0x0A;
inline constexpr int kGatewayTargetFailed = 0x0B;

// The exception a request gets for a line's answer other than Ok.
int ExceptionFor(Status status);

struct ModbusCounters {
  std::map<int, std::uint64_t> requests;                    // by function code
  std::map<std::pair<int, int>, std::uint64_t> exceptions;  // by function and exception code
  std::map<std::string, std::uint64_t> disconnects;         // by reason
  std::uint64_t accepted = 0;
  std::uint64_t refused = 0;  // beyond the most clients, none idle to make room
  std::uint64_t denied = 0;   // from an address outside the allow-list
  std::uint64_t evicted = 0;  // closed to make room for a new connection
  std::size_t clients = 0;
};

class ModbusServer {
 public:
  ModbusServer(Gateway& gateway, const ModbusListener& listener,
               const std::vector<ModbusLine>& lines);
  ~ModbusServer();
  ModbusServer(const ModbusServer&) = delete;
  ModbusServer& operator=(const ModbusServer&) = delete;

  // Binds and listens; throws std::runtime_error.
  void Listen();
  int port() const { return port_; }

  // The descriptors of the server for the service's poll() loop, appended
  // to fds; Serve() then gets them back, from the first of them, with
  // what poll() reported, and handles it. The loop polls at least four
  // times a second, so that idle clients are dropped in time.
  void AddPollFds(std::vector<pollfd>& fds);
  void Serve(const pollfd* fds);
  // From any thread: no request of a client is begun after it.
  void Stop();
  // After the loop has ended and the lines have answered (Gateway::Stop):
  // sends the answers that came, answers what still waits with 0x0B, and
  // closes every client.
  void Finish();

  // Without a socket (the fuzz target): a client whose answers are appended
  // to out; bytes fed to it as if received (the part taken is returned: a
  // client waiting for a line takes nothing); and waiting up to wait for the
  // lines' answers, handling those that came. The server must not be polled.
  std::uint64_t AddLocalClient(std::string* out);
  std::size_t Feed(std::uint64_t client, const std::uint8_t* bytes, std::size_t length);
  bool Waiting(std::uint64_t client) const;
  void AwaitAnswers(std::chrono::milliseconds wait);
  void CloseLocalClient(std::uint64_t client);

  ModbusCounters Counters() const;

 private:
  struct Unit {
    int line = 0;
    RegisterMap map;
    bool untaggedWrites = false;
    bool stopWritable = false;
    bool allowHalfReads = false;
  };
  // The variables a register request covers.
  struct Plan {
    int address = 0;
    int count = 0;               // registers
    int slotVariable[125] = {};  // index into variables, one per register
    int slotHalf[125] = {};
    std::vector<int> variables;  // distinct, in the order of the registers
  };
  struct Client {
    int fd = -1;
    std::uint64_t id = 0;
    std::string peer;
    std::uint8_t address[16] = {};   // IPv6, or IPv4-mapped
    std::string* capture = nullptr;  // a local client's answers
    std::uint8_t in[520] = {};       // two frames at most
    std::size_t have = 0;
    std::chrono::steady_clock::time_point lastActivity{};
    std::chrono::steady_clock::time_point partialSince{};
    bool waiting = false;  // a request is with a line
    std::uint8_t request[260] = {};
    std::size_t requestLength = 0;
    int unit = 0;
    Plan plan;
  };
  struct Completion {
    std::uint64_t client = 0;
    Status status = Status::Ok;
    std::string reason;
    std::vector<std::uint32_t> values;
  };

  void Accept();
  void Service(std::uint64_t id, short revents);
  void Process(Client& c);
  // Handles one frame; false when the client was closed.
  bool Handle(Client& c, const std::uint8_t* frame, std::size_t length);
  bool Exception(Client& c, const std::uint8_t* frame, int code);
  // Sends the answer of frame: its MBAP header and this PDU.
  bool Answer(Client& c, const std::uint8_t* frame, const std::uint8_t* pdu, std::size_t length);
  // The answer to a write: the request's function, address and quantity.
  bool Echo(Client& c, const std::uint8_t* frame);
  // Makes room for a connection from address (16 bytes); false when none can be made.
  bool MakeRoom(const std::uint8_t* address, std::chrono::steady_clock::time_point now);
  bool ReplyRegisters(Client& c, const std::uint8_t* frame, const Unit& unit,
                      const std::uint32_t* values);
  // The variables of count registers from address; false when one is in no range.
  static bool PlanRegisters(const Unit& unit, int address, int count, Plan& plan);
  void Post(Completion&& completion);
  void DrainCompletions();
  void Close(std::uint64_t id, const std::string& reason);
  void Expire(std::chrono::steady_clock::time_point now);

  Gateway& gateway_;
  ModbusListener options_;
  modbus_t* ctx_ = nullptr;
  int listenFd_ = -1;
  int eventFd_ = -1;
  int port_ = 0;
  std::vector<Unit> units_;
  int unitIndex_[256];
  std::map<std::uint64_t, Client> clients_;
  std::vector<std::uint64_t> polled_;  // the clients of the last AddPollFds
  std::uint64_t nextClient_ = 1;
  std::chrono::steady_clock::time_point acceptPausedUntil_{};
  std::chrono::steady_clock::time_point lastRefusalLog_{};
  std::uint64_t refusedSinceLog_ = 0;
  std::chrono::steady_clock::time_point lastDenialLog_{};
  std::uint64_t deniedSinceLog_ = 0;

  mutable std::mutex countersMutex_;
  ModbusCounters counters_;
  std::atomic<bool> stopping_{false};

  std::mutex completionsMutex_;
  std::vector<Completion> completions_;
};

}  // namespace zelgw
