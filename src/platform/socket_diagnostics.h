#pragma once

// The kernel's socket diagnostics over netlink, as the peer-owner look-up and the port's
// listeners ask them: one TCP query, sent to the kernel.

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>

namespace cordavelle {

struct SocketDiagnosticsQuery {
    nlmsghdr header;
    inet_diag_req_v2 request;
};

// A query about TCP sockets of `family` in `states` (a mask of 1 << TCP state), numbered
// `sequence`; `flags` beside NLM_F_REQUEST (NLM_F_DUMP for every match, none for one socket).
inline SocketDiagnosticsQuery tcpDiagnosticsQuery(int family, std::uint32_t states, std::uint16_t flags,
                                                  unsigned sequence)
{
    SocketDiagnosticsQuery query{};
    query.header.nlmsg_len = sizeof query;
    query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    query.header.nlmsg_flags = static_cast<std::uint16_t>(NLM_F_REQUEST | flags);
    query.header.nlmsg_seq = sequence;
    query.request.sdiag_family = static_cast<__u8>(family);
    query.request.sdiag_protocol = IPPROTO_TCP;
    query.request.idiag_states = states;
    return query;
}

// False when the kernel could not be asked.
inline bool sendToKernel(int netlink, const SocketDiagnosticsQuery &query)
{
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    return ::sendto(netlink, &query, sizeof query, 0, reinterpret_cast<const sockaddr *>(&kernel), sizeof kernel) >= 0;
}

} // namespace cordavelle
