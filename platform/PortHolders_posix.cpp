#include "platform/PortHolders.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

namespace platform {

namespace {

// The port of a HEXADDRESS:HEXPORT field.
unsigned long portOf(const std::string& field) {
    const std::size_t colon = field.rfind(':');
    return colon == std::string::npos ? 0x10000 : std::strtoul(field.c_str() + colon + 1, nullptr, 16);
}

// The inodes of the sockets in one /proc/net/tcp table whose local port is `port` (and remote port
// `remotePort`, unless that is 0). Each row reads
// "sl local_address rem_address st tx:rx tr:when retrnsmt uid timeout inode ...", addresses as
// HEXADDRESS:HEXPORT; a socket in TIME_WAIT has inode 0 and belongs to nobody.
void socketInodes(const char* table, unsigned short port, unsigned short remotePort,
                  std::set<std::string>& inodes) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line); // the heading
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
        if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
              timeout >> inode)) {
            continue;
        }
        if (inode == "0" || portOf(local) != port || (remotePort != 0 && portOf(remote) != remotePort)) {
            continue;
        }
        inodes.insert(inode);
    }
}

// The file name of the program a process runs: its first argument, else the kernel's short name.
std::string processName(const std::string& pid) {
    std::ifstream cmdline("/proc/" + pid + "/cmdline");
    std::string first;
    if (std::getline(cmdline, first, '\0') && !first.empty()) {
        const std::size_t slash = first.rfind('/');
        return slash == std::string::npos ? first : first.substr(slash + 1);
    }
    std::ifstream comm("/proc/" + pid + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

bool allDigits(const char* text) {
    return *text != '\0' && std::all_of(text, text + std::char_traits<char>::length(text),
                                        [](char c) { return c >= '0' && c <= '9'; });
}

// Whether one of the process's open descriptors is one of the sockets.
bool holdsOneOf(const std::string& pid, const std::set<std::string>& inodes) {
    const std::string folder = "/proc/" + pid + "/fd";
    DIR* fds = ::opendir(folder.c_str());
    if (!fds) {
        return false; // gone, or another user's process
    }
    bool holds = false;
    // readdir is safe on a stream no other thread sees.
    while (const dirent* entry = ::readdir(fds)) { // NOLINT(concurrency-mt-unsafe)
        char target[128];
        const std::string link = folder + "/" + entry->d_name;
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0) {
            continue;
        }
        const std::string text(target, static_cast<std::size_t>(n));
        // "socket:[12345]"
        if (text.rfind("socket:[", 0) == 0 && inodes.count(text.substr(8, text.size() - 9)) > 0) {
            holds = true;
            break;
        }
    }
    ::closedir(fds);
    return holds;
}

} // namespace

std::vector<PortHolder> tcpPortHolders(unsigned short port, unsigned short remotePort) {
    std::set<std::string> inodes;
    socketInodes("/proc/net/tcp", port, remotePort, inodes);
    socketInodes("/proc/net/tcp6", port, remotePort, inodes);
    std::vector<PortHolder> holders;
    if (inodes.empty()) {
        return holders;
    }
    DIR* processes = ::opendir("/proc");
    if (!processes) {
        return holders;
    }
    // readdir is safe on a stream no other thread sees.
    while (const dirent* entry = ::readdir(processes)) { // NOLINT(concurrency-mt-unsafe)
        if (allDigits(entry->d_name) && holdsOneOf(entry->d_name, inodes)) {
            holders.push_back({std::strtol(entry->d_name, nullptr, 10), processName(entry->d_name)});
        }
    }
    ::closedir(processes);
    std::sort(holders.begin(), holders.end(),
              [](const PortHolder& a, const PortHolder& b) { return a.processId < b.processId; });
    return holders;
}

} // namespace platform
