#pragma once

#include <netinet/in.h>

#include <vector>

// The IPv4 networks of this machine's interfaces (address and netmask), to tell whether a
// datagram's sender is a neighbour on the link it arrived on. Read again whenever asked, so
// that an address the machine itself got from DHCP is followed.
class CLocalNetworks {
public:
    // False when the interfaces could not be read; the table is then empty.
    bool Refresh();
    // Whether the sender lies within a network of the interface with this index.
    bool Contains(unsigned int interfaceIndex, in_addr sender) const;

private:
    struct Network {
        unsigned int interfaceIndex;
        in_addr_t address;  // network byte order
        in_addr_t mask;
    };
    std::vector<Network> networks_;
};
