#include "device/scope.h"

#include "platform/hid.h"

namespace fwu {

RunScope::RunScope() : normal_(ownNormal_), update_(ownUpdate_) {}

RunScope::RunScope(SlotTable& normal, SlotTable& update) : normal_(normal), update_(update) {}

bool RunScope::Accepts(const std::string& path) const {
    return location.empty() || HidBackend().Location(path) == location;
}

RunScope& DefaultScope() {
    static RunScope scope(m_hNormal, m_hUpdate);
    return scope;
}

}  // namespace fwu
