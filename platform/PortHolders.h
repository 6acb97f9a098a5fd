#pragma once

#include <string>
#include <vector>

namespace platform {

// A process that holds a socket bound to a local TCP port.
struct PortHolder {
    long processId = 0;
    std::string processName; // the executable's file name; "" when the system does not tell
};

// The processes with a TCP socket (listening or connected, IPv4 or IPv6) whose local port is `port`
// and, unless `remotePort` is 0, whose peer's port is `remotePort`, each once. Empty when there is
// none, or when the system does not say who owns its sockets. With both ports it names the process
// at the other end of a loopback connection: the peer's socket is the one whose local port is the
// peer's port and whose remote port is ours.
// POSIX (Linux): the sockets in /proc/net/tcp and tcp6, matched to processes by the socket inodes
// in /proc/<pid>/fd; processes of other users are only seen as root. Windows: GetExtendedTcpTable's
// owning process ids, named from a process snapshot.
std::vector<PortHolder> tcpPortHolders(unsigned short port, unsigned short remotePort = 0);

} // namespace platform
