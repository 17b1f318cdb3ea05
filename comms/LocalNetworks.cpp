#include "comms/LocalNetworks.h"

#include <ifaddrs.h>
#include <net/if.h>

#include <string>

namespace {

// A labelled address ("eth0:1") belongs to the interface before the colon.
unsigned int InterfaceIndex(const char* name) {
    std::string base(name);
    const std::size_t colon = base.find(':');
    if (colon != std::string::npos) base.erase(colon);
    return if_nametoindex(base.c_str());
}

}  // namespace

bool CLocalNetworks::Refresh() {
    networks_.clear();
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    for (const ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
        if (a->ifa_addr == nullptr || a->ifa_netmask == nullptr) continue;
        if (a->ifa_addr->sa_family != AF_INET) continue;
        const unsigned int index = InterfaceIndex(a->ifa_name);
        if (index == 0) continue;
        const auto* address = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
        const auto* mask = reinterpret_cast<const sockaddr_in*>(a->ifa_netmask);
        networks_.push_back({index, address->sin_addr.s_addr, mask->sin_addr.s_addr});
    }
    freeifaddrs(list);
    return true;
}

bool CLocalNetworks::Contains(unsigned int interfaceIndex, in_addr sender) const {
    for (const Network& n : networks_) {
        if (n.interfaceIndex == interfaceIndex && (sender.s_addr & n.mask) == (n.address & n.mask))
            return true;
    }
    return false;
}
