#include "app/OptionReader.h"

#include <cerrno>
#include <cstdlib>
#include <set>

namespace velk {

namespace {

bool isOption(const std::string& argument) { return argument.size() > 1 && argument[0] == '-'; }

bool spells(const OptionRule& option, const std::string& argument) {
    return argument == option.name || (option.alias != nullptr && argument == option.alias);
}

// What an argument after the operands must not look like: an option meant for this program.
bool looksLikeOption(const std::string& argument, const std::vector<OptionRule>& options) {
    if (argument.compare(0, 2, "--") == 0) return true;
    for (const OptionRule& option : options) {
        if (spells(option, argument)) return true;
    }
    return false;
}

class CCommandLineReader {
public:
    CCommandLineReader(int argc, const char* const* argv, const std::vector<OptionRule>& options)
        : argc(argc), argv(argv), options(options) {}

    CommandLine read(OptionPlace place, const std::string& lateOptionHint);

private:
    std::string take(const std::string& argument);
    std::string takeValue(const OptionRule& option);

    int argc;
    const char* const* argv;
    const std::vector<OptionRule>& options;
    int at = 1;
    std::set<std::string> seen;  // options given so far, by their first spelling
};

// Takes the option at `at` and moves past it: "" when taken, else why not.
std::string CCommandLineReader::take(const std::string& argument) {
    for (const OptionRule& option : options) {
        if (!spells(option, argument)) continue;
        if (!seen.insert(option.name).second) return std::string(option.name) + " is given twice";
        if (option.expected != nullptr) return takeValue(option);
        ++at;
        option.take("");
        return "";
    }
    return "unknown option " + argument;
}

std::string CCommandLineReader::takeValue(const OptionRule& option) {
    const std::string name = option.name;
    if (at + 1 >= argc) return name + " needs a value";
    const std::string value = argv[at + 1];
    if (value.empty()) return name + " needs a value that is not empty";
    if (!option.take(value)) return name + " needs " + option.expected;
    at += 2;
    return "";
}

CommandLine CCommandLineReader::read(OptionPlace place, const std::string& lateOptionHint) {
    CommandLine line;
    bool optionsEnded = false;
    while (at < argc) {
        const std::string argument = argv[at];
        if (optionsEnded || !isOption(argument)) {
            if (place == OptionPlace::kBeforeOperands) optionsEnded = true;
            if (optionsEnded && place == OptionPlace::kBeforeOperands && !line.operands.empty() &&
                looksLikeOption(argument, options)) {
                line.hint = lateOptionHint;
                return line;
            }
            line.operands.push_back(argument);
            ++at;
        } else if (argument == "--") {
            optionsEnded = true;
            ++at;
        } else if (std::string refused = take(argument); !refused.empty()) {
            line.hint = refused;
            return line;
        }
    }
    line.ok = true;
    return line;
}

}  // namespace

bool parseWholeNumber(const std::string& text, uint64_t max, uint64_t& value) {
    if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    errno = 0;
    const unsigned long long parsed = std::strtoull(text.c_str(), nullptr, 10);
    if (errno != 0 || parsed > max) return false;
    value = parsed;
    return true;
}

OptionRule flagOption(const char* name, const char* alias, bool& field) {
    return {name, alias, nullptr, [&field](const std::string&) { return field = true; }};
}

OptionRule textOption(const char* name, const char* expected, std::string& field, bool* given) {
    return {name, nullptr, expected, [&field, given](const std::string& value) {
                field = value;
                if (given != nullptr) *given = true;
                return true;
            }};
}

CommandLine readCommandLine(int argc, const char* const* argv, const std::vector<OptionRule>& options,
                            OptionPlace place, const std::string& lateOptionHint) {
    return CCommandLineReader(argc, argv, options).read(place, lateOptionHint);
}

}  // namespace velk
