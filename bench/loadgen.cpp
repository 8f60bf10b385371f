// loadgen: sends sequence-numbered syslog datagrams of 100 bytes to a UDP
// port on 127.0.0.1, at a set rate or flat out, with sendmmsg.
//
//   loadgen [-b ADDR] [-t] [-r RUN] PORT COUNT RATE
//
// RATE is messages per second; 0 sends flat out.  COUNT 0 sends until
// SIGTERM or SIGINT, which also end a counted run early.  Each datagram is
// "<13>bench seq=NNNNNNNNN " padded with x to 100 bytes.
//   -b ADDR  send from this local IPv4 address (port chosen by the kernel)
//   -t       add the send time, microseconds since the epoch: "t=NNNN... "
//   -r RUN   runs of RUN identical messages: "bench run=NNNNNNNNN " with the
//            run's number instead of the sequence number
// Prints the count sent, the seconds it took and the time of the first
// send (seconds since the epoch, to the microsecond).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

constexpr int kBatch = 64;
constexpr int kSize = 100;

volatile sig_atomic_t stop = 0;

void OnStop(int) {
    stop = 1;
}

long long MicrosNow() {
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

int Usage() {
    std::fprintf(stderr, "usage: loadgen [-b ADDR] [-t] [-r RUN] PORT COUNT RATE\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    const char *from = nullptr;
    bool stamp = false;
    long run = 0;
    for (int c; (c = getopt(argc, argv, "b:tr:")) != -1;) {
        if (c == 'b') {
            from = optarg;
        } else if (c == 't') {
            stamp = true;
        } else if (c == 'r') {
            run = std::atol(optarg);
        } else {
            return Usage();
        }
    }
    if (argc - optind != 3) {
        return Usage();
    }
    int port = std::atoi(argv[optind]);
    long count = std::atol(argv[optind + 1]);
    double rate = std::atof(argv[optind + 2]);
    signal(SIGTERM, OnStop);
    signal(SIGINT, OnStop);

    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    if (fd >= 0 && from != nullptr &&
        (inet_pton(AF_INET, from, &addr.sin_addr) != 1 ||
         bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)) {
        std::perror("loadgen: bind");
        return 1;
    }
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        std::perror("loadgen: socket");
        return 1;
    }

    static char bufs[kBatch][kSize + 1];
    struct iovec iov[kBatch];
    struct mmsghdr msgs[kBatch];
    long long first = MicrosNow();
    auto start = std::chrono::steady_clock::now();
    long sent = 0;
    while ((count == 0 || sent < count) && !stop) {
        int n = static_cast<int>(count == 0 || count - sent >= kBatch ? kBatch : count - sent);
        if (rate > 0) {
            // Pace by batches of at most 1 ms worth of messages.
            n = static_cast<int>(std::max(1.0, std::min<double>(n, rate / 1000)));
            auto due = start + std::chrono::duration<double>(sent / rate);
            std::this_thread::sleep_until(due);
        }
        long long now = stamp ? MicrosNow() : 0;
        for (int i = 0; i < n; ++i) {
            int len =
                run > 0 ? std::snprintf(bufs[i], sizeof bufs[i], "<13>bench run=%09ld ",
                                        (sent + i) / run)
                        : std::snprintf(bufs[i], sizeof bufs[i], "<13>bench seq=%09ld ", sent + i);
            if (stamp) {
                len += std::snprintf(bufs[i] + len, sizeof bufs[i] - len, "t=%lld ", now);
            }
            std::memset(bufs[i] + len, 'x', kSize - len);
            iov[i] = {bufs[i], static_cast<size_t>(kSize)};
            std::memset(&msgs[i], 0, sizeof msgs[i]);
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        int done = sendmmsg(fd, msgs, static_cast<unsigned>(n), 0);
        if (done < 0) {
            if (errno == ENOBUFS || errno == EAGAIN || errno == EINTR) {
                continue;
            }
            std::perror("loadgen: sendmmsg");
            return 1;
        }
        sent += done;
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%ld %.3f %lld.%06lld\n", sent, secs, first / 1000000, first % 1000000);
    return 0;
}
