#include "install/CustomInfo.h"

#include <json/json.h>

#include "fs/Message.h"

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

int CPackageVersion::take(const std::string& label, const std::string& customInfo) {
    if (customInfo.empty() || label.empty()) return kEmptyField;
    const CustomInfoVersion version = readCustomInfoVersion(customInfo);
    if (!version.usable) {
        brn::messageLine("outCustomInfo ERROR");
        return kUnusable;
    }
    if (version.hasPlvs) plvs = version.plvs;
    return kAccepted;
}

}  // namespace velk
