#include "install/CustomInfo.h"

#include <json/json.h>

namespace velk {

CustomInfoVersion readCustomInfoVersion(const std::string& customInfo) {
    CustomInfoVersion version;
    try {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        Json::Reader reader;
#pragma GCC diagnostic pop
        Json::Value root;
        // Only an object can carry PLVS; a PLVS that is itself a container has no text.
        if (!reader.parse(customInfo, root, true) || !root.isObject()) return version;
        if (root.isMember("PLVS")) {
            const Json::Value& plvs = root["PLVS"];
            if (plvs.isArray() || plvs.isObject()) return version;
            version.plvs = plvs.asString();
            version.hasPlvs = true;
        }
        version.usable = true;
    } catch (const Json::Exception&) {
        version = CustomInfoVersion();
    }
    return version;
}

}  // namespace velk
