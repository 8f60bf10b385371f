#include "platform/sockets.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/errors.h"

namespace {

// Sockets closed by SockClose, by descriptor number: a wait on such a socket
// fails, whether the close came before the wait or during it.  SockUdp clears
// the mark when the number comes back for a new socket.
std::atomic<bool> closing[FD_SETSIZE];

int WsaFromErrno(int err) {
    switch (err) {
        case EINTR:
            return kWsaEintr;
        case EBADF:
            return kWsaEbadf;
        case EACCES:
            return 10013;
        case EFAULT:
            return 10014;
        case EINVAL:
            return 10022;
        case EMFILE:
            return 10024;
        case EAGAIN:
            return 10035;
        case EINPROGRESS:
            return 10036;
        case EALREADY:
            return 10037;
        case ENOTSOCK:
            return kWsaEnotsock;
        case EDESTADDRREQ:
            return 10039;
        case EMSGSIZE:
            return kWsaEmsgsize;
        case EPROTOTYPE:
            return 10041;
        case ENOPROTOOPT:
            return 10042;
        case EPROTONOSUPPORT:
            return 10043;
        case ESOCKTNOSUPPORT:
            return 10044;
        case EOPNOTSUPP:
            return 10045;
        case EPFNOSUPPORT:
            return 10046;
        case EAFNOSUPPORT:
            return 10047;
        case EADDRINUSE:
            return kWsaEaddrinuse;
        case EADDRNOTAVAIL:
            return 10049;
        case ENETDOWN:
            return 10050;
        case ENETUNREACH:
            return 10051;
        case ENETRESET:
            return 10052;
        case ECONNABORTED:
            return 10053;
        case ECONNRESET:
            return 10054;
        case ENOBUFS:
            return 10055;
        case EISCONN:
            return 10056;
        case ENOTCONN:
            return 10057;
        case ESHUTDOWN:
            return 10058;
        case ETOOMANYREFS:
            return 10059;
        case ETIMEDOUT:
            return 10060;
        case ECONNREFUSED:
            return 10061;
        case ELOOP:
            return 10062;
        case ENAMETOOLONG:
            return 10063;
        case EHOSTDOWN:
            return 10064;
        case EHOSTUNREACH:
            return 10065;
        case ENOTEMPTY:
            return 10066;
        case EUSERS:
            return 10068;
        case EDQUOT:
            return 10069;
        case ESTALE:
            return 10070;
        case EREMOTE:
            return 10071;
        default:
            return err;
    }
}

int Fail() {
    PlatformSetLastError(static_cast<unsigned long>(WsaFromErrno(errno)));
    return -1;
}

void ToSockaddr(const SockAddrIn *in, struct sockaddr_in *out) {
    std::memset(out, 0, sizeof *out);
    out->sin_family = AF_INET;
    out->sin_port = in->port;
    out->sin_addr.s_addr = in->addr;
}

}  // namespace

int SockStartup() {
    return 0;
}

SockHandle SockUdp() {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        Fail();
        return kInvalidSocket;
    }
    if (fd >= FD_SETSIZE) {  // select could not wait on it
        close(fd);
        PlatformSetLastError(10024);  // WSAEMFILE
        return kInvalidSocket;
    }
    closing[fd].store(false);
    return fd;
}

int SockServicePort(const char *service, const char *proto, uint16_t *port) {
    struct servent entry;
    struct servent *result = nullptr;
    char buf[1024];
    if (getservbyname_r(service, proto, &entry, buf, sizeof buf, &result) != 0 ||
        result == nullptr) {
        return -1;
    }
    *port = static_cast<uint16_t>(result->s_port);
    return 0;
}

int SockBind(SockHandle s, const SockAddrIn *addr) {
    struct sockaddr_in sa;
    ToSockaddr(addr, &sa);
    if (bind(static_cast<int>(s), reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0) {
        return Fail();
    }
    return 0;
}

int SockSetReceiveBuffer(SockHandle s, int bytes) {
    int fd = static_cast<int>(s);
    // As root the system's limit can be passed; otherwise take what it allows.
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0 &&
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) != 0) {
        return -1;
    }
    int granted = 0;
    socklen_t len = sizeof granted;
    if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &len) != 0) {
        return -1;
    }
    return granted;
}

namespace {

// Datagrams taken from the kernel in one batch (recvmmsg) and handed out one
// per SockReceive, so that a busy receiver pays one system call per batch
// instead of a select and a receive per datagram.  Only the receiving thread
// touches it; it belongs to one socket at a time.
struct ReceiveBatch {
    static constexpr int kSlots = 32;
    static constexpr int kSlotBytes = 2048;  // more than any datagram asked for
    int fd = -1;
    int generation = 0;  // closes seen when the batch was taken
    int count = 0;       // datagrams in the batch
    int next = 0;        // the next one to hand out
    char data[kSlots][kSlotBytes];
    struct sockaddr_in from[kSlots];
    struct iovec iov[kSlots];
    struct mmsghdr msgs[kSlots];
};
ReceiveBatch batch;
// Counts SockClose calls: a batch taken before a close is never handed out
// after it, even when the descriptor number comes back for a new socket.
std::atomic<int> closes{0};

bool BatchPending(int fd) {
    return batch.fd == fd && batch.generation == closes.load() && batch.next < batch.count;
}

// Blocks until at least one datagram is there, then takes what is queued.
int FillBatch(int fd) {
    batch.fd = fd;
    batch.generation = closes.load();
    batch.count = batch.next = 0;
    for (int i = 0; i < ReceiveBatch::kSlots; ++i) {
        batch.iov[i] = {batch.data[i], sizeof batch.data[i]};
        std::memset(&batch.msgs[i], 0, sizeof batch.msgs[i]);
        batch.msgs[i].msg_hdr.msg_name = &batch.from[i];
        batch.msgs[i].msg_hdr.msg_namelen = sizeof batch.from[i];
        batch.msgs[i].msg_hdr.msg_iov = &batch.iov[i];
        batch.msgs[i].msg_hdr.msg_iovlen = 1;
    }
    int n = recvmmsg(fd, batch.msgs, ReceiveBatch::kSlots, MSG_WAITFORONE, nullptr);
    if (n < 0) {
        return Fail();
    }
    batch.count = n;
    return n;
}

}  // namespace

int SockWaitReadable(SockHandle s, int timeout_ms) {
    int fd = static_cast<int>(s);
    if (fd < 0 || fd >= FD_SETSIZE || closing[fd].load()) {
        PlatformSetLastError(kWsaEnotsock);
        return -1;
    }
    if (BatchPending(fd)) {
        return 1;  // datagrams taken with the last batch are still to be read
    }
    fd_set readfds;
    FD_ZERO(&readfds);
    FD_SET(fd, &readfds);
    int saved_errno = errno;
    struct timeval limit = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    int n = select(fd + 1, &readfds, nullptr, nullptr, timeout_ms < 0 ? nullptr : &limit);
    // A closed socket ends the wait as a failure, as closesocket does to a
    // Winsock select: whether the close came before the call (EBADF) or
    // during it (SockClose's shutdown wakes the select), the result is the
    // same, and errno is left as Winsock leaves it.
    if ((n < 0 && errno == EBADF) || closing[fd].load()) {
        errno = saved_errno;
        PlatformSetLastError(kWsaEnotsock);
        return -1;
    }
    if (n < 0) {
        PlatformSetLastError(WsaFromErrno(errno));
        return -1;
    }
    return FD_ISSET(fd, &readfds) ? 1 : 0;
}

int SockBatchPending(SockHandle s) {
    return s >= 0 && BatchPending(static_cast<int>(s)) ? 1 : 0;
}

int SockReceive(SockHandle s, char *buf, int len, SockAddrIn *from, int *truncated) {
    int fd = static_cast<int>(s);
    if (!BatchPending(fd) && FillBatch(fd) < 0) {
        return -1;
    }
    int i = batch.next++;
    const struct mmsghdr &m = batch.msgs[i];
    int got = static_cast<int>(m.msg_len);
    int n = got < len ? got : len;
    std::memcpy(buf, batch.data[i], static_cast<size_t>(n));
    std::memset(from, 0, sizeof *from);
    from->family = batch.from[i].sin_family;
    from->port = batch.from[i].sin_port;
    from->addr = batch.from[i].sin_addr.s_addr;
    *truncated = (m.msg_hdr.msg_flags & MSG_TRUNC) != 0 || got > len ? 1 : 0;
    return n;
}

int SockSend(SockHandle s, const void *data, int len, const SockAddrIn *to) {
    struct sockaddr_in sa;
    ToSockaddr(to, &sa);
    ssize_t n = sendto(static_cast<int>(s), data, static_cast<size_t>(len), 0,
                       reinterpret_cast<struct sockaddr *>(&sa), sizeof sa);
    if (n < 0) {
        return Fail();
    }
    return static_cast<int>(n);
}

int SockClose(SockHandle s) {
    int fd = static_cast<int>(s);
    if (fd < 0 || fd >= FD_SETSIZE) {
        PlatformSetLastError(kWsaEnotsock);
        return -1;
    }
    closes.fetch_add(1);
    closing[fd].store(true);
    // Closing alone does not wake a thread blocked in select on the socket;
    // a shutdown does, even on an unconnected datagram socket (it reports
    // ENOTCONN, and wakes the waiters all the same).
    shutdown(fd, SHUT_RDWR);
    if (close(fd) != 0) {
        return Fail();
    }
    return 0;
}
