// The folder modes a -p run holds back until nothing more is made in the tree.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "brn/tar/HeldModes.h"

namespace {

using Given = std::vector<std::pair<std::string, uint32_t>>;

// Deepest first, so that no folder locks its owner out of one below it before that one has
// its mode; every spelling of a folder is one folder, whose last mode wins; a dropped folder
// (a link took its place) gets none; and what was given is forgotten.
TEST(HeldModesTest, GivenDeepestFirstOncePerFolder) {
    brn::CHeldModes held;
    held.hold("a", 0500);
    held.hold("./a//b/", 0555);
    held.hold("a/b/c", 0100);
    held.hold("a/b", 0511);
    held.hold("z", 0444);
    held.drop("z/.");
    Given given;
    const auto give = [&given](const std::string& name, uint32_t mode) {
        given.emplace_back(name, mode);
        return name != "a/b";  // one folder cannot be changed
    };
    EXPECT_EQ(held.giveAll(give), 1);
    EXPECT_EQ(given, (Given{{"a/b/c", 0100}, {"a/b", 0511}, {"a", 0500}}));
    given.clear();
    EXPECT_EQ(held.giveAll(give), 0);
    EXPECT_TRUE(given.empty());
}

}  // namespace
