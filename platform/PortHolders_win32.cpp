// iphlpapi.h needs the socket headers first, and windows.h must not pull in the old winsock.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <iphlpapi.h>
#include <tlhelp32.h>

#include "platform/PortHolders.h"

#include <algorithm>
#include <map>
#include <vector>

namespace platform {

namespace {

// One of GetExtendedTcpTable's tables of owned sockets (every state), grown until it fits.
std::vector<unsigned char> ownedSocketTable(ULONG family) {
    std::vector<unsigned char> buffer(16 * 1024);
    for (int attempt = 0; attempt < 4; ++attempt) {
        auto size = static_cast<DWORD>(buffer.size());
        const DWORD result =
            ::GetExtendedTcpTable(buffer.data(), &size, FALSE, family, TCP_TABLE_OWNER_PID_ALL, 0);
        if (result == NO_ERROR) {
            return buffer;
        }
        if (result != ERROR_INSUFFICIENT_BUFFER) {
            break;
        }
        buffer.resize(static_cast<std::size_t>(size) + 4096);
    }
    return {};
}

template <typename Table>
void ownersOf(const std::vector<unsigned char>& buffer, unsigned short port, unsigned short remotePort,
              std::map<long, std::string>& owners) {
    if (buffer.empty()) {
        return;
    }
    const auto* table = reinterpret_cast<const Table*>(buffer.data());
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        // The ports are in network byte order in the low 16 bits.
        const auto& row = table->table[i];
        if (ntohs(static_cast<u_short>(row.dwLocalPort)) == port &&
            (remotePort == 0 || ntohs(static_cast<u_short>(row.dwRemotePort)) == remotePort) &&
            row.dwOwningPid != 0) {
            owners.emplace(static_cast<long>(row.dwOwningPid), std::string());
        }
    }
}

// A snapshot names every process without needing the rights to open it.
void nameProcesses(std::map<long, std::string>& owners) {
    const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return;
    }
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32First(snapshot, &entry); more; more = ::Process32Next(snapshot, &entry)) {
        const auto owner = owners.find(static_cast<long>(entry.th32ProcessID));
        if (owner != owners.end()) {
            owner->second = entry.szExeFile;
        }
    }
    ::CloseHandle(snapshot);
}

} // namespace

std::vector<PortHolder> tcpPortHolders(unsigned short port, unsigned short remotePort) {
    std::map<long, std::string> owners;
    ownersOf<MIB_TCPTABLE_OWNER_PID>(ownedSocketTable(AF_INET), port, remotePort, owners);
    ownersOf<MIB_TCP6TABLE_OWNER_PID>(ownedSocketTable(AF_INET6), port, remotePort, owners);
    if (!owners.empty()) {
        nameProcesses(owners);
    }
    std::vector<PortHolder> holders;
    for (const auto& [id, name] : owners) {
        holders.push_back({id, name});
    }
    return holders;
}

} // namespace platform
