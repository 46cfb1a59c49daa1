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

// Writes the values back into the file at path, which keeps its shape: a
// line that sets a variable gets the variable's value now, written the way
// the line wrote its value (signed or unsigned decimal, or 0x hexadecimal
// with as many digits and the same case); comments, blank lines and
// spacing stay. Variables that are not 0 and have no line of their own
// follow at the end, one a line, in the form most of the file's values
// use (decimal for a new file). Through a temporary file renamed over the
// target. Throws std::runtime_error.
void SaveValues(const std::string& path, const VariableTable& table);

}  // namespace zelsim
