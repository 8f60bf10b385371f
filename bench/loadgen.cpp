// loadgen: sends sequence-numbered syslog datagrams of about 100 bytes to a
// UDP port on 127.0.0.1, at a set rate or flat out, with sendmmsg.
//
//   loadgen PORT COUNT RATE
//
// RATE is messages per second; 0 sends flat out.  Each datagram is
// "<13>bench seq=NNNNNNNNN " padded with letters to 100 bytes.  Prints the
// count sent and the seconds it took.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

constexpr int kBatch = 64;
constexpr int kSize = 100;

}  // namespace

int main(int argc, char **argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: loadgen PORT COUNT RATE\n");
        return 2;
    }
    int port = std::atoi(argv[1]);
    long count = std::atol(argv[2]);
    double rate = std::atof(argv[3]);

    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
        std::perror("loadgen: socket");
        return 1;
    }

    static char bufs[kBatch][kSize + 1];
    struct iovec iov[kBatch];
    struct mmsghdr msgs[kBatch];
    auto start = std::chrono::steady_clock::now();
    long sent = 0;
    while (sent < count) {
        int n = static_cast<int>(count - sent < kBatch ? count - sent : kBatch);
        if (rate > 0) {
            // Pace by batches of at most 1 ms worth of messages.
            n = static_cast<int>(std::max(1.0, std::min<double>(n, rate / 1000)));
            auto due = start + std::chrono::duration<double>(sent / rate);
            std::this_thread::sleep_until(due);
        }
        for (int i = 0; i < n; ++i) {
            int len = std::snprintf(bufs[i], sizeof bufs[i], "<13>bench seq=%09ld ", sent + i);
            std::memset(bufs[i] + len, 'x', kSize - len);
            iov[i] = {bufs[i], static_cast<size_t>(kSize)};
            std::memset(&msgs[i], 0, sizeof msgs[i]);
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        int done = sendmmsg(fd, msgs, static_cast<unsigned>(n), 0);
        if (done < 0) {
            if (errno == ENOBUFS || errno == EAGAIN) {
                continue;
            }
            std::perror("loadgen: sendmmsg");
            return 1;
        }
        sent += done;
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%ld %.3f\n", sent, secs);
    return 0;
}
