// The driver's trace lines, read back: what each attempt of a transfer came
// to, and why an open failed. The reader is lenient: a line it does not
// know is skipped, a part it cannot find is left empty.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelpoll {

// "<time> zelqd attempt K/N sent ... -> ok" or "... -> failed: <reason>".
struct AttemptLine {
  int number = 0;  // K
  int of = 0;      // N
  bool ok = false;
  std::string reason;  // why it failed; empty when ok or when the line was cut short
};

// "<time> zelqd open "<name>" failed: <step>: <text> (errno N)", or
// "(error N)" where the system's code is a Win32 one.
struct OpenFailureLine {
  std::string name;
  std::string step;  // name, open, lock, exclusive, settings, time-outs
  std::string text;  // the system's words for the error
  int code = 0;      // errno (or the Win32 code), 0 when the line gives none
  bool win32 = false;
};

std::optional<AttemptLine> ParseAttemptLine(std::string_view line);
std::optional<OpenFailureLine> ParseOpenFailureLine(std::string_view line);

// The note for a transfer that failed, from its attempt lines: the reason
// of the last attempt, and whether every attempt failed the same way
// ("ERROR reply, all 5 attempts"). Empty without attempt lines.
std::string FailureNote(const std::vector<AttemptLine>& attempts);

// Whether a failed attempt's reason tells that the line itself is gone
// (nothing could be written, or the device hung up), rather than that the
// remote computer answered wrongly or not at all.
bool LineGone(const std::string& reason);

}  // namespace zelpoll
