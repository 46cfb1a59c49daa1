// One DriverInstance and the calls zelgw makes on it, all through ZelMain.
// A LineDriver belongs to one thread at a time (the line's), as the driver
// requires of an instance.
#pragma once

#include <cstdint>
#include <memory>

#include "plant.h"
#include "zelqd/zelqd.h"

namespace zelgw {

class LineDriver {
 public:
  explicit LineDriver(ZelMainFunction zelMain);
  ~LineDriver();
  LineDriver(const LineDriver&) = delete;
  LineDriver& operator=(const LineDriver&) = delete;

  // OpenPort with the line's name and settings; ClosePort.
  std::int32_t Open(const zeltools::PlantLine& line);
  std::int32_t Close();
  bool open() const;

  // ReadBlock of count values (1..106) from first on into values.
  std::int32_t ReadBlock(int first, int count, std::uint32_t* values);
  // WriteVar of one numeric variable.
  std::int32_t Write(int variable, std::uint32_t value);
  // WriteVar and ReadVar of $STOP: no traffic on the line.
  std::int32_t WriteStop(bool stop);
  std::int32_t ReadStop(bool* stopped);

 private:
  std::int32_t Call(std::int32_t code, void* params);

  ZelMainFunction zelMain_;
  std::unique_ptr<std::uint64_t[]> storage_;  // the instance, 8-byte aligned, zeroed
  DriverInstance* instance_ = nullptr;
  std::int32_t stopClass_ = ZELQD_CLASS_STOP;
  ValueSlot slots_[ZELQD_MAX_BLOCK] = {};
};

}  // namespace zelgw
