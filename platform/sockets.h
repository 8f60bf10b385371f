// Datagram sockets for the syslog port, with the results of Windows Sockets 2.
//
// The engine owns one IPv4 UDP socket (logsock): it receives on it and sends
// forwarded messages from it.  On Windows these calls are Winsock; on POSIX
// they are BSD sockets with Winsock's results: error codes are Winsock numbers
// (kWsaEintr 10004, kWsaEmsgsize 10040, kWsaEaddrinuse 10048, ...), readable
// with LastError (errors.h) as WSAGetLastError gives them.  errno keeps its
// own platform meaning.
//
// Closing a socket wakes a thread blocked in SockWaitReadable on it: the wait
// fails with kWsaEnotsock, as it does when the socket was closed before the
// wait began.  (Windows closesocket does this by itself; on Linux a close
// alone does not, and SockClose shuts the socket down first, which wakes
// every thread waiting on it.)
//
// A closed handle is not to be used again: its number may come back for the
// next file or socket the process opens.  The engine holds kInvalidSocket in
// its place once closed; every call on kInvalidSocket fails as on a closed
// socket (-1 with the last error set; SockSend also sets errno to EBADF).
//
// Thread-safety: one thread receives; SockSend may run on other threads at
// the same time; SockClose may come from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

using SockHandle = intptr_t;
constexpr SockHandle kInvalidSocket = -1;

// Winsock error numbers the program relies on.
constexpr int kWsaEintr = 10004;
constexpr int kWsaEbadf = 10009;
constexpr int kWsaEnotsock = 10038;
constexpr int kWsaEmsgsize = 10040;
constexpr int kWsaEaddrinuse = 10048;

constexpr uint16_t kAfInet = 2;

// An IPv4 socket address as the sockets API lays it out (sockaddr_in), 16
// bytes: family, port and address in network byte order, eight zero bytes.
struct SockAddrIn {
    uint16_t family;
    uint16_t port;  // network byte order
    uint32_t addr;  // network byte order
    uint8_t zero[8];
};
static_assert(sizeof(SockAddrIn) == 16, "an IPv4 socket address is 16 bytes");

// Starts the socket layer (WSAStartup, version 2.0).  Returns 0, or the
// nonzero error code.  POSIX: always 0.
int SockStartup();

// Creates an IPv4 datagram socket (AF_INET, SOCK_DGRAM, protocol 0).  Sets no
// address-reuse option, so a taken port makes the bind fail.  Returns the
// handle, or kInvalidSocket with the last error set.
SockHandle SockUdp();

// Looks a service up in the services database (getservbyname).  Returns 0 and
// the port in network byte order, or -1 when it is unknown.
int SockServicePort(const char *service, const char *proto, uint16_t *port);

// Binds the socket to addr.  Returns 0, or -1 with the last error set.
int SockBind(SockHandle s, const SockAddrIn *addr);

// Asks for a receive buffer of bytes, or as much as the system allows.
// Returns the size the system granted, or -1.
int SockSetReceiveBuffer(SockHandle s, int bytes);

// Blocks until s is readable (select with s alone in the read set), or until
// timeout_ms milliseconds have passed; -1 waits without time-out.  Returns
// the number of readable sockets (1), 0 at the time-out, or -1 with the last
// error set: kWsaEnotsock once the socket has been closed by SockClose (or
// was never valid), kWsaEintr when interrupted.
int SockWaitReadable(SockHandle s, int timeout_ms);

// Receives one datagram into buf (at most len bytes) and its sender's address.
// Returns the datagram's length as received (at most len); 0 for an empty
// datagram; -1 with the last error set on failure.  A datagram longer than len
// is not a failure: its first len bytes are returned and *truncated is set to
// 1 (otherwise 0).
int SockReceive(SockHandle s, char *buf, int len, SockAddrIn *from, int *truncated);

// 1 while datagrams the last SockReceive took from the system with it are
// still to be handed out by the next SockReceive (which then does not block),
// 0 otherwise.  Windows takes one datagram at a time: always 0.
int SockBatchPending(SockHandle s);

// Sends len bytes to addr.  Returns the count sent, or -1 with the last error
// and errno set.
int SockSend(SockHandle s, const void *data, int len, const SockAddrIn *to);

// Closes the socket (closesocket) and wakes a thread blocked on it.  Returns
// 0, or -1 with the last error set.
int SockClose(SockHandle s);

// The dotted-quad form of an IPv4 address (inet_ntoa) into out, at least 16
// bytes.  Returns out.
char *SockAddrText(uint32_t addr, char *out);
