// Initial values from a file, and the values saved back to one.
//
// One variable a line: its number and its value, separated by blanks, each
// decimal or 0x hexadecimal ("42 100", "0x2A 0x64", "7 -1"). Blank lines
// and everything after a "#" are ignored.
#pragma once

#include <string>

#include "zelsim/variable_table.h"

namespace zelsim {

// Sets the variables the file names; the others keep their values. Throws
// std::runtime_error naming the file and line of the first bad line (the
// table is then left unchanged).
void LoadValues(const std::string& path, VariableTable& table);

// Writes every variable that is not 0, as "number 0xHHHHHHHH", through a
// temporary file renamed over the target. Throws std::runtime_error.
void SaveValues(const std::string& path, const VariableTable& table);

}  // namespace zelsim
