#include "brn/tar/HeldModes.h"

#include "brn/tar/SafePath.h"

namespace brn {

namespace {
constexpr uint32_t kOwnerFullAccess = 0700;
}  // namespace

bool CHeldModes::canGiveNow(uint32_t mode) { return (mode & kOwnerFullAccess) == kOwnerFullAccess; }

void CHeldModes::hold(const std::string& name, uint32_t mode) { modes[keyOf(name)] = mode; }

void CHeldModes::drop(const std::string& name) { modes.erase(keyOf(name)); }

int CHeldModes::giveAll(const GiveMode& give) {
    int failed = 0;
    for (const auto& [key, mode] : modes) failed += give(key.second, mode) ? 0 : 1;
    modes.clear();
    return failed;
}

CHeldModes::Key CHeldModes::keyOf(const std::string& name) {
    Key key;
    size_t pos = 0, begin = 0, end = 0;
    while (nextPathComponent(name, pos, begin, end)) {
        if (key.first++ > 0) key.second += '/';
        key.second.append(name, begin, end - begin);
    }
    return key;
}

}  // namespace brn
