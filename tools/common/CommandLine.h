#pragma once

#include <CLI/CLI.hpp>

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/ToolSupport.h"

// The tools' command lines. Each option is defined once, with the check of its values, and
// --help is generated from those definitions: the allowed values and the default follow each
// option's explanation. Both "--name value" and "--name=value" are accepted.
//
// Values are converted by the tools' own strict parsers (plain decimal, dotted IPv4 text) after
// the check has passed; CLI11's own conversion would read "010" as octal and "-1" as the largest
// unsigned number.
namespace Tools {

// Sets up an application the same way for both tools: the help layout, and a repeated option
// keeping its last value.
void SetUpCommandLine(CLI::App& app);
// Adds --help and --version (which prints "<program> <version>") to `group`; called after the
// other options, so that the group comes where it is first used.
void AddHelpAndVersion(CLI::App& app, const std::string& group);

// Parses the command line. Nothing when the program is to go on; otherwise the exit code to stop
// with: 0 after --help or --version, kExitUsage after a usage error, which is reported on
// standard error with the option concerned and the values it allows.
std::optional<int> ParseCommandLine(CLI::App& app, int argc, char** argv);

// Checks, each describing in --help the values it allows and naming them in its error.
// `allowed` words the range in --help and errors when "low-high" would not read well.
CLI::Validator WholeNumberIn(std::uint64_t low, std::uint64_t high, std::string allowed = {});
CLI::Validator NumberIn(double low, double high);
// As NumberIn, without the low end itself.
CLI::Validator NumberAbove(double low, double high);
CLI::Validator DottedIpv4();
CLI::Validator NumberPair();
CLI::Validator OneOf(std::vector<std::string> choices);
CLI::Validator AtMostCharacters(std::size_t count);

// Stores a checked value in an option's target.
template <std::unsigned_integral Value>
void Store(const std::string& text, Value& target) {
  target = static_cast<Value>(ParseUnsigned(text).value_or(0));
}
inline void Store(const std::string& text, long& target) {
  target = static_cast<long>(ParseUnsigned(text).value_or(0));
}
inline void Store(const std::string& text, double& target) {
  target = ParseNumber(text).value_or(0.0);
}
inline void Store(const std::string& text, std::string& target) { target = text; }
inline void Store(const std::string& text, Vec2& target) {
  target = ParsePair(text).value_or(Vec2());
}
template <class Value>
void Store(const std::string& text, std::optional<Value>& target) {
  Value value{};
  Store(text, value);
  target = value;
}

// The default that --help shows: the target's value before parsing, or none for an optional one.
std::string DefaultText(std::uint64_t value);
std::string DefaultText(double value);
inline std::string DefaultText(const std::string& value) { return value; }
template <std::unsigned_integral Value>
std::string DefaultText(Value value) {
  return DefaultText(static_cast<std::uint64_t>(value));
}
template <class Value>
std::string DefaultText(const std::optional<Value>&) {
  return {};
}

// An option with a value called `valueName` in --help, checked by `check` and stored in `target`.
template <class Target>
CLI::Option* AddValue(CLI::App& app, const std::string& name, const std::string& valueName,
                      Target& target, const CLI::Validator& check, const std::string& explanation) {
  CLI::Option* option = app.add_option_function<std::string>(
      name, [&target](const std::string& text) { Store(text, target); }, explanation);
  option->type_name(valueName)->check(check)->default_str(DefaultText(target));
  return option;
}

}  // namespace Tools
