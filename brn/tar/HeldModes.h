#pragma once
// CHeldModes keeps the modes of folders that cannot be given their entry's mode at once: a
// mode that takes away its owner's read, write or search would lock the run out of a folder
// it may still make entries in. Such modes are given once nothing more is made, deepest
// folder first, so that no folder locks its owner out of one below it. Every spelling of one
// folder ("a//b/", "./a/b") is one key, and the last mode held for a name wins. A plain
// value; whoever gives the modes does the work (giveAll's `give`).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>

namespace brn {

class CHeldModes {
public:
    // True when a folder can be given `mode` at once: its owner keeps full access.
    static bool canGiveNow(uint32_t mode);

    void hold(const std::string& name, uint32_t mode);
    // The folder is gone (a link took its place) or has its mode already.
    void drop(const std::string& name);
    // Calls `give` for every held folder, deepest first, and forgets them all: the number of
    // calls that gave false.
    using GiveMode = std::function<bool(const std::string& name, uint32_t mode)>;
    int giveAll(const GiveMode& give);

private:
    // A folder's depth (components) and its name with "." and empty components dropped.
    using Key = std::pair<size_t, std::string>;
    static Key keyOf(const std::string& name);

    std::map<Key, uint32_t, std::greater<Key>> modes;  // deepest first
};

}  // namespace brn
