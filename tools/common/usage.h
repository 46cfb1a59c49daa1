// Command-line mistakes, told in one plain sentence that names what would
// have been right. The tools check every value with these validators and
// turn the parser's own complaints into such sentences, so that none of
// the parser's wording reaches the user.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace zeltools {

// "a", "a or b", "a, b or c".
std::string Choices(const std::vector<std::string>& names, const std::string& last = "or");

// A whole number from lo to hi, written in decimal. note, when given, ends
// the sentence ("the driver's baud field has 16 bits").
CLI::Validator WholeNumber(const std::string& option, std::int64_t lo, std::int64_t hi,
                           const std::string& note = "");

// One of the names; the text is replaced by the value the name stands for,
// so that the option may hold a number or an enumeration.
CLI::Validator OneOf(const std::string& option,
                     const std::vector<std::pair<std::string, std::int64_t>>& names,
                     bool ignoreCase = false);

// A check of the caller's: fn returns the whole sentence, or "" when the
// text is fine.
CLI::Validator Sentence(std::function<std::string(const std::string&)> fn);

// The sentence for a parse error that app.parse() threw. Options whose
// long name starts with foldPrefix ("sim-") are named as one family.
std::string UsageSentence(const CLI::ParseError& error, CLI::App& app,
                          const std::string& foldPrefix = "");

}  // namespace zeltools
