#pragma once

#include <string>
#include <vector>

namespace platform {

// A process that holds a socket bound to a local TCP port.
struct PortHolder {
    long processId = 0;
    std::string processName; // the executable's file name; "" when the system does not tell
};

// The processes with a TCP socket (listening or connected, IPv4 or IPv6) whose local port is `port`,
// each once. Empty when there is none, or when the system does not say who owns its sockets.
// POSIX (Linux): the sockets in /proc/net/tcp and tcp6, matched to processes by the socket inodes
// in /proc/<pid>/fd; processes of other users are only seen as root. Windows: GetExtendedTcpTable's
// owning process ids, named from a process snapshot.
std::vector<PortHolder> tcpPortHolders(unsigned short port);

} // namespace platform
