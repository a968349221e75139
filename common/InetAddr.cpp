// IPv4 socket-address builders of the runtime library.
//
// Stateless and reentrant. Neither function clears the structure (sin_zero is
// the caller's business), and a failed conversion leaves family and port as
// they were so a caller can tell a refused text from a filled address.
#include <arpa/inet.h>

#include "udptrans/udptrans_api.h"

int makeAddrByString(int family, const char* text, unsigned short port,
                     struct sockaddr_in* address) {
    if (address == nullptr || family != AF_INET) {
        return -1;
    }
    if (text == nullptr) {
        address->sin_family = AF_INET;
        address->sin_port = htons(port);
        address->sin_addr.s_addr = htonl(INADDR_ANY);
        return 0;
    }
    address->sin_addr.s_addr = inet_addr(text);
    // inet_addr cannot tell "255.255.255.255" from an error; both are refused,
    // a broadcast target is never a valid local address here.
    if (address->sin_addr.s_addr == INADDR_NONE) {
        return -1;
    }
    address->sin_family = AF_INET;
    address->sin_port = htons(port);
    return 0;
}

int makeAddr4ByInt(unsigned int address_value, unsigned short port, struct sockaddr_in* address) {
    if (address == nullptr) {
        return -1;
    }
    address->sin_family = AF_INET;
    address->sin_port = htons(port);
    // Already in network byte order: stored as given.
    address->sin_addr.s_addr = address_value;
    return 0;
}
