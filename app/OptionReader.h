#pragma once
// The one reader of the programs' command lines (velk-unpack, velk-inspect, velk-pack). Every
// option is input and fails closed: an unknown one, one given twice (under either spelling),
// one without its value or with an empty one (an unset variable) is refused, never taken as "not
// given". Where options may stand is the program's: before the operands (the first argument
// that is not an option ends them, and a later argument that looks like one, "--..." or a short
// option of the table, is refused) or anywhere. "--" ends the options; "-" alone is an operand.
// Stateless: the program's table holds what each option does.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace velk {

struct OptionRule {
    const char* name;
    const char* alias;     // another spelling, or nullptr
    const char* expected;  // what the value must be ("a key file"); nullptr for a flag
    // Takes the value ("" for a flag); false when it is not what is expected.
    std::function<bool(const std::string& value)> take;
};

// A flag that sets `field`; an option whose value goes to `field` (and sets `*given`, if any).
// The fields must outlive the reading.
OptionRule flagOption(const char* name, const char* alias, bool& field);
OptionRule textOption(const char* name, const char* expected, std::string& field, bool* given = nullptr);

// A whole decimal number in [0, max]: digits only, no sign or blanks.
bool parseWholeNumber(const std::string& text, uint64_t max, uint64_t& value);

enum class OptionPlace {
    kBeforeOperands,  // velk-unpack: an argument list without options keeps its meaning
    kAnywhere,        // velk-inspect, velk-pack
};

struct CommandLine {
    bool ok = false;
    std::string hint;  // when not ok: why, for the usage line
    std::vector<std::string> operands;
};

// `lateOptionHint` is the hint for an option after the operands (kBeforeOperands).
CommandLine readCommandLine(int argc, const char* const* argv, const std::vector<OptionRule>& options,
                            OptionPlace place, const std::string& lateOptionHint = std::string());

}  // namespace velk
