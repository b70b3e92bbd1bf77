#include "common/CommandLine.h"

#include <iostream>
#include <locale>
#include <memory>
#include <sstream>
#include <utility>

#include "Version.h"

namespace Tools {
namespace {

constexpr std::size_t kHelpWidth = 100;
constexpr std::size_t kOptionColumn = 22;

// Fills lines up to `width` characters, breaking between words; line ends in the text stay.
std::string Wrap(const std::string& text, std::size_t width) {
  std::string wrapped;
  std::size_t lineLength = 0;
  std::istringstream paragraphs(text);
  bool firstParagraph = true;
  for (std::string paragraph; std::getline(paragraphs, paragraph);) {
    if (!firstParagraph) wrapped += '\n';
    firstParagraph = false;
    lineLength = 0;
    std::istringstream words(paragraph);
    for (std::string word; words >> word;) {
      if (lineLength > 0 && lineLength + 1 + word.size() > width) {
        wrapped += '\n';
        lineLength = 0;
      } else if (lineLength > 0) {
        wrapped += ' ';
        ++lineLength;
      }
      wrapped += word;
      lineLength += word.size();
    }
  }
  return wrapped;
}

std::string Shortest(double value) {
  std::ostringstream text;
  text.imbue(std::locale::classic());
  text << value;
  return text.str();
}

// Each option on one line with the name of its value, then its explanation followed by what the
// definition says: the allowed values (from the option's check), the default, and the options it
// needs.
class HelpFormatter : public CLI::Formatter {
 public:
  HelpFormatter() {
    column_width(kOptionColumn);
    label("OPTIONS", "options");
  }

  // Groups one blank line apart, the first one a blank line below the usage line.
  std::string make_usage(const CLI::App* app, std::string name) const override {
    return CLI::Formatter::make_usage(app, std::move(name)) + "\n";
  }
  std::string make_group(std::string group, bool isPositional,
                         std::vector<const CLI::Option*> options) const override {
    return CLI::Formatter::make_group(std::move(group), isPositional, std::move(options)).substr(1);
  }

  std::string make_option_opts(const CLI::Option* option) const override {
    if (option->get_type_size() == 0) return {};
    const std::string type = option->get_type_name();
    return " " + type.substr(0, type.find(':'));
  }

  std::string make_option_desc(const CLI::Option* option) const override {
    std::vector<std::string> notes;
    const std::string type = option->get_type_name();
    const std::size_t colon = type.find(':');
    if (option->get_type_size() != 0 && colon != std::string::npos) {
      notes.push_back(type.substr(colon + 1));
    }
    if (!option->get_default_str().empty()) notes.push_back("default " + option->get_default_str());
    for (const CLI::Option* needed : option->get_needs()) {
      notes.push_back("needs " + needed->get_name());
    }
    std::string text = option->get_description();
    if (!notes.empty()) {
      text += " (";
      for (std::size_t i = 0; i < notes.size(); ++i) text += (i == 0 ? "" : "; ") + notes[i];
      text += ")";
    }
    return Wrap(text, kHelpWidth - kOptionColumn);
  }
};

std::string Bad(const std::string& text, const std::string& expected) {
  constexpr std::size_t kShown = 40;
  const std::string shown = text.size() > kShown ? text.substr(0, kShown) + "..." : text;
  return "bad value '" + shown + "': expected " + expected;
}

CLI::Validator Check(std::string allowed, std::function<bool(const std::string&)> accepts) {
  return CLI::Validator(
      [allowed, accepts = std::move(accepts)](std::string& text) {
        return accepts(text) ? std::string() : Bad(text, allowed);
      },
      allowed);
}

}  // namespace

void SetUpCommandLine(CLI::App& app) {
  app.formatter(std::make_shared<HelpFormatter>());
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
}

void AddHelpAndVersion(CLI::App& app, const std::string& group) {
  app.set_help_flag("-h,--help", "show this text")->group(group);
  app.set_version_flag("--version", app.get_name() + " " + VELANTIS_VERSION,
                       "show the program's version")
      ->group(group);
}

std::optional<int> ParseCommandLine(CLI::App& app, int argc, char** argv) {
  // CLI11 takes the argument after "--name=" as the value instead of the empty text; hand it the
  // empty text as a separate argument. The list goes to CLI11 last argument first.
  std::vector<std::string> arguments;
  for (int i = argc - 1; i >= 1; --i) {
    std::string argument = argv[i];
    if (argument.size() > 3 && argument.starts_with("--") && argument.back() == '=') {
      arguments.emplace_back();
      argument.pop_back();
    }
    arguments.push_back(std::move(argument));
  }
  try {
    app.parse(arguments);
  } catch (const CLI::Success& done) {  // --help or --version
    return app.exit(done);
  } catch (const CLI::ParseError& error) {
    std::string message = error.what();
    // CLI11 words a missing value with the option's whole type text; say it plainly.
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr) {
      const std::string name = message.substr(0, message.find(':'));
      if (const CLI::Option* option = app.get_option_no_throw(name)) {
        const std::string type = option->get_type_name();
        const std::size_t colon = type.find(':');
        message = name + " needs a value " + type.substr(0, colon);
        if (colon != std::string::npos) message += " (" + type.substr(colon + 1) + ")";
      }
    }
    std::cerr << app.get_name() << ": " << message << "\nTry '" << app.get_name() << " --help'."
              << std::endl;
    return kExitUsage;
  }
  return {};
}

CLI::Validator WholeNumberIn(std::uint64_t low, std::uint64_t high, std::string allowed) {
  if (allowed.empty()) allowed = std::to_string(low) + "-" + std::to_string(high);
  return Check(allowed, [=](const std::string& text) {
    const auto value = ParseUnsigned(text);
    return value && *value >= low && *value <= high;
  });
}

CLI::Validator NumberIn(double low, double high) {
  return Check(Shortest(low) + "-" + Shortest(high), [=](const std::string& text) {
    const auto value = ParseNumber(text);
    return value && *value >= low && *value <= high;
  });
}

CLI::Validator NumberAbove(double low, double high) {
  return Check("over " + Shortest(low) + ", up to " + Shortest(high), [=](const std::string& text) {
    const auto value = ParseNumber(text);
    return value && *value > low && *value <= high;
  });
}

CLI::Validator DottedIpv4() {
  return Check("a dotted IPv4 address such as 127.0.0.1",
               [](const std::string& text) { return ParseAddress(text.c_str()).has_value(); });
}

CLI::Validator NumberPair() {
  return Check("two numbers X,Y such as 1.5,-2",
               [](const std::string& text) { return ParsePair(text).has_value(); });
}

CLI::Validator OneOf(std::vector<std::string> choices) {
  std::string allowed;
  for (std::size_t i = 0; i < choices.size(); ++i) {
    allowed += (i == 0 ? "" : i + 1 == choices.size() ? " or " : ", ") + choices[i];
  }
  return Check(allowed, [choices = std::move(choices)](const std::string& text) {
    for (const std::string& choice : choices) {
      if (text == choice) return true;
    }
    return false;
  });
}

CLI::Validator AtMostCharacters(std::size_t count) {
  return Check("at most " + std::to_string(count) + " characters",
               [count](const std::string& text) { return text.size() <= count; });
}

std::string DefaultText(std::uint64_t value) { return std::to_string(value); }
std::string DefaultText(double value) { return Shortest(value); }

}  // namespace Tools
