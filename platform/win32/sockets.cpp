#include "platform/sockets.h"

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on

#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/win32/winsock_start.h"

namespace {

std::once_flag start_once;
int start_result = 0;

// SIO_UDP_CONNRESET, which this compiler's headers may lack.
constexpr DWORD kSioUdpConnReset = IOC_IN | IOC_VENDOR | 12;

// The runtime's errno for a Winsock code: the library's own numbers where it
// has them (so that its texts apply), its POSIX supplement otherwise.
int ErrnoFromWsa(int code) {
    switch (code) {
        case WSAEINTR:
            return EINTR;
        case WSAEBADF:
        case WSAENOTSOCK:
            return EBADF;
        case WSAEACCES:
            return EACCES;
        case WSAEFAULT:
            return EFAULT;
        case WSAEINVAL:
            return EINVAL;
        case WSAEMFILE:
            return EMFILE;
        case WSAEWOULDBLOCK:
            return EWOULDBLOCK;
        case WSAEMSGSIZE:
            return EMSGSIZE;
        case WSAEADDRINUSE:
            return EADDRINUSE;
        case WSAEADDRNOTAVAIL:
            return EADDRNOTAVAIL;
        case WSAENETDOWN:
            return ENETDOWN;
        case WSAENETUNREACH:
            return ENETUNREACH;
        case WSAEHOSTUNREACH:
            return EHOSTUNREACH;
        case WSAECONNRESET:
            return ECONNRESET;
        case WSAECONNREFUSED:
            return ECONNREFUSED;
        case WSAENOBUFS:
            return ENOBUFS;
        case WSAEAFNOSUPPORT:
            return EAFNOSUPPORT;
        default:
            return EIO;
    }
}

// Keeps Winsock's code as the last error (it is already there on Windows;
// this makes it explicit) and returns -1.
int Fail() {
    SetLastError(static_cast<DWORD>(WSAGetLastError()));
    return -1;
}

int FailWithErrno() {
    int code = WSAGetLastError();
    errno = ErrnoFromWsa(code);
    SetLastError(static_cast<DWORD>(code));
    return -1;
}

SOCKET ToSocket(SockHandle s) {
    return static_cast<SOCKET>(s);
}

void ToSockaddr(const SockAddrIn *in, struct sockaddr_in *out) {
    std::memset(out, 0, sizeof *out);
    out->sin_family = AF_INET;
    out->sin_port = in->port;
    out->sin_addr.s_addr = in->addr;
}

}  // namespace

int WinsockStart() {
    std::call_once(start_once, [] {
        WSADATA data;
        start_result = WSAStartup(MAKEWORD(2, 0), &data);
    });
    return start_result;
}

int SockStartup() {
    return WinsockStart();
}

SockHandle SockUdp() {
    if (int rc = WinsockStart(); rc != 0) {
        SetLastError(static_cast<DWORD>(rc));
        return kInvalidSocket;
    }
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET) {
        Fail();
        return kInvalidSocket;
    }
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    // A datagram sent to a port where nobody listens comes back as an ICMP
    // "port unreachable", which Windows reports on the NEXT receive of the
    // socket as WSAECONNRESET: the receive loop would fail for a forwarding
    // target's sake.  Switch that report off (where the system knows it).
    BOOL report = FALSE;
    DWORD returned = 0;
    WSAIoctl(s, kSioUdpConnReset, &report, sizeof report, nullptr, 0, &returned, nullptr, nullptr);
    return static_cast<SockHandle>(s);
}

int SockServicePort(const char *service, const char *proto, uint16_t *port) {
    if (WinsockStart() != 0) {
        return -1;
    }
    // Winsock keeps the result in a per-thread buffer.
    struct servent *entry = getservbyname(service, proto);
    if (entry == nullptr) {
        return -1;
    }
    *port = static_cast<uint16_t>(entry->s_port);
    return 0;
}

int SockBind(SockHandle s, const SockAddrIn *addr) {
    struct sockaddr_in sa;
    ToSockaddr(addr, &sa);
    if (bind(ToSocket(s), reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0) {
        return Fail();
    }
    return 0;
}

int SockSetReceiveBuffer(SockHandle s, int bytes) {
    if (setsockopt(ToSocket(s), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char *>(&bytes),
                   sizeof bytes) != 0) {
        return -1;
    }
    int granted = 0;
    int len = sizeof granted;
    if (getsockopt(ToSocket(s), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char *>(&granted), &len) !=
        0) {
        return -1;
    }
    return granted;
}

int SockWaitReadable(SockHandle s, int timeout_ms) {
    if (s == kInvalidSocket) {
        SetLastError(kWsaEnotsock);
        return -1;
    }
    fd_set readfds;
    FD_ZERO(&readfds);
    FD_SET(ToSocket(s), &readfds);
    struct timeval limit = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    int n = select(0, &readfds, nullptr, nullptr, timeout_ms < 0 ? nullptr : &limit);
    if (n == SOCKET_ERROR) {
        return Fail();
    }
    if (n == 0) {
        return 0;  // the time-out; a close meanwhile fails the next wait
    }
    // closesocket from another thread ends the wait; whether select then
    // reports the socket readable or not, a closed socket is a failure.
    int type = 0;
    int len = sizeof type;
    if (getsockopt(ToSocket(s), SOL_SOCKET, SO_TYPE, reinterpret_cast<char *>(&type), &len) != 0) {
        return Fail();
    }
    return n;
}

int SockReceive(SockHandle s, char *buf, int len, SockAddrIn *from, int *truncated) {
    struct sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    int salen = sizeof sa;
    *truncated = 0;
    int n = recvfrom(ToSocket(s), buf, len, 0, reinterpret_cast<struct sockaddr *>(&sa), &salen);
    if (n == SOCKET_ERROR) {
        if (WSAGetLastError() != WSAEMSGSIZE) {
            return Fail();
        }
        // A longer datagram: the buffer holds its first len bytes.
        n = len;
        *truncated = 1;
    }
    std::memset(from, 0, sizeof *from);
    from->family = sa.sin_family;
    from->port = sa.sin_port;
    from->addr = sa.sin_addr.s_addr;
    return n;
}

int SockBatchPending(SockHandle) {
    return 0;
}

int SockSend(SockHandle s, const void *data, int len, const SockAddrIn *to) {
    struct sockaddr_in sa;
    ToSockaddr(to, &sa);
    int n = sendto(ToSocket(s), static_cast<const char *>(data), len, 0,
                   reinterpret_cast<struct sockaddr *>(&sa), sizeof sa);
    if (n == SOCKET_ERROR) {
        return FailWithErrno();
    }
    return n;
}

int SockClose(SockHandle s) {
    if (closesocket(ToSocket(s)) != 0) {
        return Fail();
    }
    return 0;
}
