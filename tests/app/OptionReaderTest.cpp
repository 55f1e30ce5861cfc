// The one option reader as each program uses it: before the operands (velk-unpack) or anywhere
// (velk-inspect, velk-pack). Every way an option can fail closed is a refusal with its hint.

#include "app/OptionReader.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace velk {
namespace {

struct Reading {
    CommandLine line;
    bool flag = false;
    std::string key;
};

Reading readWith(std::vector<const char*> words, OptionPlace place) {
    Reading reading;
    words.insert(words.begin(), "program");
    const std::vector<OptionRule> table = {
        {"-f", "--flag", nullptr, [&reading](const std::string&) { return reading.flag = true; }},
        {"--key", nullptr, "a key",
         [&reading](const std::string& value) {
             reading.key = value;
             return value != "bad";
         }},
    };
    reading.line = readCommandLine(int(words.size()), words.data(), table, place, "late");
    return reading;
}

TEST(OptionReader, EveryOptionFailsClosed) {
    const struct {
        std::vector<const char*> words;
        OptionPlace place;
        const char* hint;  // nullptr: read
        std::vector<std::string> operands;
    } cases[] = {
        {{"--key", "k", "-f", "a", "b"}, OptionPlace::kBeforeOperands, nullptr, {"a", "b"}},
        {{"a", "-", "b"}, OptionPlace::kBeforeOperands, nullptr, {"a", "-", "b"}},
        {{"--", "-f", "b"}, OptionPlace::kBeforeOperands, nullptr, {"-f", "b"}},
        {{"--", "-f", "-f"}, OptionPlace::kBeforeOperands, "late", {}},
        {{"-f", "--flag", "a"}, OptionPlace::kBeforeOperands, "-f is given twice", {}},
        {{"--key", "a", "--key", "b", "x"}, OptionPlace::kAnywhere, "--key is given twice", {}},
        {{"--key", "", "x"}, OptionPlace::kAnywhere, "--key needs a value that is not empty", {}},
        {{"x", "--key"}, OptionPlace::kAnywhere, "--key needs a value", {}},
        {{"--key", "bad", "x"}, OptionPlace::kAnywhere, "--key needs a key", {}},
        {{"-x", "a"}, OptionPlace::kAnywhere, "unknown option -x", {}},
        {{"a", "-f"}, OptionPlace::kBeforeOperands, "late", {}},
        {{"a", "b", "--anything"}, OptionPlace::kBeforeOperands, "late", {}},
        {{"a", "-f", "b", "--key", "k"}, OptionPlace::kAnywhere, nullptr, {"a", "b"}},
        {{"--", "-f", "--key"}, OptionPlace::kAnywhere, nullptr, {"-f", "--key"}},
    };
    for (const auto& c : cases) {
        const Reading reading = readWith(c.words, c.place);
        const std::string shown = testing::PrintToString(c.words);
        EXPECT_EQ(reading.line.ok, c.hint == nullptr) << shown;
        if (c.hint != nullptr) {
            EXPECT_EQ(reading.line.hint, c.hint) << shown;
        } else {
            EXPECT_EQ(reading.line.operands, c.operands) << shown;
        }
    }
}

}  // namespace
}  // namespace velk
