#include "usage.h"

#include <algorithm>
#include <cctype>

namespace zeltools {
namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// A decimal whole number with an optional minus sign and at most 18 digits.
bool ParseWhole(const std::string& text, std::int64_t* value) {
  const bool negative = !text.empty() && text[0] == '-';
  const std::string digits = text.substr(negative ? 1 : 0);
  if (digits.empty() || digits.size() > 18 ||
      !std::all_of(digits.begin(), digits.end(),
                   [](unsigned char c) { return std::isdigit(c) != 0; }))
    return false;
  *value = std::stoll(digits) * (negative ? -1 : 1);
  return true;
}

// An option's name as the user writes it: --name, or -n without a long one.
std::string Spelling(const CLI::Option& option) {
  if (!option.get_lnames().empty()) return "--" + option.get_lnames().front();
  if (!option.get_snames().empty()) return "-" + option.get_snames().front();
  return option.get_name();
}

std::vector<std::string> CommandNames(CLI::App& app) {
  std::vector<std::string> names;
  for (CLI::App* command : app.get_subcommands([](CLI::App*) { return true; }))
    names.push_back(command->get_name());
  return names;
}

// The options a user may give: the command's own first, then the program's.
std::string OptionNames(CLI::App& app, CLI::App* command, const std::string& fold) {
  std::vector<std::string> names;
  bool folded = false;
  const auto add = [&](CLI::App* from) {
    for (CLI::Option* option : from->get_options()) {
      if (option->get_positional() || option == from->get_help_ptr() ||
          option == from->get_version_ptr())
        continue;
      const std::string name = Spelling(*option);
      if (!fold.empty() && name.rfind("--" + fold, 0) == 0) {
        folded = true;
      } else if (std::find(names.begin(), names.end(), name) == names.end()) {
        names.push_back(name);
      }
    }
  };
  if (command != nullptr) add(command);
  add(&app);
  if (folded) names.push_back("the --" + fold + "... options");
  return Choices(names, "and");
}

// The positional arguments of a command, as "ADDRESS COUNT".
std::string Positionals(CLI::App& command) {
  std::string out;
  for (CLI::Option* option : command.get_options()) {
    if (!option->get_positional()) continue;
    if (!out.empty()) out += " ";
    out += option->get_name();
  }
  return out;
}

CLI::Option* FindOption(CLI::App& app, const std::string& name) {
  if (CLI::Option* option = app.get_option_no_throw(name)) return option;
  for (CLI::App* command : app.get_subcommands([](CLI::App*) { return true; })) {
    if (CLI::Option* option = command->get_option_no_throw(name)) return option;
  }
  return nullptr;
}

CLI::App* CommandGiven(CLI::App& app) {
  const auto given = app.get_subcommands();
  return given.empty() ? nullptr : given.back();
}

std::string AfterFirst(const std::string& text, const std::string& separator) {
  const auto at = text.find(separator);
  return at == std::string::npos ? text : text.substr(at + separator.size());
}

std::string UpTo(const std::string& text, const std::string& separator) {
  return text.substr(0, text.find(separator));
}

std::string Unknown(CLI::App& app, CLI::App* command, const std::string& word,
                    const std::string& fold) {
  if (!word.empty() && word[0] == '-') {
    for (CLI::App* other : app.get_subcommands([](CLI::App*) { return true; })) {
      if (other != command && other->get_option_no_throw(word) != nullptr)
        return word + " is an option of " + other->get_name() +
               (command != nullptr ? ", not of " + command->get_name() : std::string()) + ".";
    }
    return word + " is not an option; the options are " + OptionNames(app, command, fold) + ".";
  }
  if (command == nullptr && CommandNames(app).empty())
    return app.get_name() + " takes options only, not \"" + word + "\"; the options are " +
           OptionNames(app, nullptr, fold) + ".";
  if (command == nullptr)
    return word + " is not a command; the commands are " + Choices(CommandNames(app)) + ".";
  const std::string wanted = Positionals(*command);
  return command->get_name() + " takes " + (wanted.empty() ? "no arguments" : wanted) + ", so \"" +
         word + "\" is one too many.";
}

}  // namespace

std::string Choices(const std::vector<std::string>& names, const std::string& last) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += i + 1 == names.size() ? " " + last + " " : ", ";
    out += names[i];
  }
  return out;
}

CLI::Validator WholeNumber(const std::string& option, std::int64_t lo, std::int64_t hi,
                           const std::string& note) {
  return CLI::Validator(
      [=](std::string& text) -> std::string {
        std::int64_t value = 0;
        if (ParseWhole(text, &value) && value >= lo && value <= hi) return {};
        return option + " takes a whole number from " + std::to_string(lo) + " to " +
               std::to_string(hi) + ", not \"" + text + "\"" + (note.empty() ? "" : "; " + note) +
               ".";
      },
      "", "");
}

CLI::Validator OneOf(const std::string& option,
                     const std::vector<std::pair<std::string, std::int64_t>>& names,
                     bool ignoreCase) {
  return CLI::Validator(
      [=](std::string& text) -> std::string {
        for (const auto& [name, value] : names) {
          if (name == text || (ignoreCase && Lower(name) == Lower(text))) {
            text = std::to_string(value);
            return {};
          }
        }
        std::vector<std::string> spelled;
        spelled.reserve(names.size());
        for (const auto& entry : names) spelled.push_back(entry.first);
        return option + " takes " + Choices(spelled) + ", not \"" + text + "\".";
      },
      "", "");
}

CLI::Validator Sentence(std::function<std::string(const std::string&)> fn) {
  return CLI::Validator([fn = std::move(fn)](std::string& text) { return fn(text); }, "", "");
}

std::string UsageSentence(const CLI::ParseError& error, CLI::App& app, const std::string& fold) {
  const std::string what = error.what();
  CLI::App* command = CommandGiven(app);

  // The validators above wrote the whole sentence; the parser put the
  // option's name in front of it.
  if (dynamic_cast<const CLI::ValidationError*>(&error) != nullptr) return AfterFirst(what, ": ");

  if (dynamic_cast<const CLI::RequiredError*>(&error) != nullptr) {
    if (command == nullptr) {
      const auto extra = app.remaining();
      if (!extra.empty()) return Unknown(app, nullptr, extra.front(), fold);
      return "a command is needed: " + Choices(CommandNames(app)) + ".";
    }
    const std::string name = UpTo(what, " is required");
    const CLI::Option* option = command->get_option_no_throw(name);
    return command->get_name() + " needs " + name +
           (option != nullptr ? " (" + option->get_description() + ")" : "") + ".";
  }

  if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr) {
    std::vector<std::string> extra = app.remaining(true);
    // An option in the wrong place says more than the words after it.
    const auto option =
        std::find_if(extra.begin(), extra.end(), [](const std::string& w) { return w[0] == '-'; });
    const std::string word = option != extra.end() ? *option : extra.empty() ? "" : extra.front();
    return Unknown(app, command, word, fold);
  }

  if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr) {
    const std::string name = UpTo(what, ":");
    CLI::Option* option = FindOption(app, name);
    const std::string spelled = option != nullptr ? Spelling(*option) : name;
    if (what.find("At Most") != std::string::npos)
      return spelled + " is given more than once; give it once.";
    return spelled + " needs a value" +
           (option != nullptr ? ": " + option->get_description() : std::string()) + ".";
  }

  if (dynamic_cast<const CLI::RequiresError*>(&error) != nullptr)
    return UpTo(what, " requires ") + " needs " + AfterFirst(what, " requires ") + " as well.";
  if (dynamic_cast<const CLI::ExcludesError*>(&error) != nullptr)
    return UpTo(what, " excludes ") + " and " + AfterFirst(what, " excludes ") +
           " cannot be given together; give one of them.";

  // Not expected with the validators in place: say where to look.
  return "the command line is not understood; " + app.get_name() + " --help lists " +
         (CommandNames(app).empty() ? "the options." : "the commands and the options.");
}

}  // namespace zeltools
