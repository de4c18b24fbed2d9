// Test tool: what a program inside the device reaches on the network.
//
//   netprobe ADDRESS PORT   first connects to a port it listens on itself, on the
//                           device's own loopback (that proves connections work at
//                           all), then to ADDRESS:PORT; prints one line for each,
//                           "self: connected" and "ADDRESS:PORT: connected" or
//                           "...: not reached (error N)"
//
// Every connection is given at most 5 seconds.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <stdio.h>
#include <stdlib.h>

namespace {

// 0 when connected, else the socket error.
int Connect(const sockaddr_in &to)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return WSAGetLastError();
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    int err = 0;
    if (connect(s, (const sockaddr *)&to, sizeof(to)) == SOCKET_ERROR) {
        err = WSAGetLastError();
        if (err == WSAEWOULDBLOCK) {
            fd_set writable, failed;
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(s, &writable);
            FD_SET(s, &failed);
            timeval limit = {5, 0};
            int n = select(0, NULL, &writable, &failed, &limit);
            if (n == 0) {
                err = WSAETIMEDOUT;
            } else {
                int len = sizeof(err);
                getsockopt(s, SOL_SOCKET, SO_ERROR, (char *)&err, &len);
            }
        }
    }
    closesocket(s);
    return err;
}

void Report(const char *what, int err)
{
    if (err)
        printf("%s: not reached (error %d)\n", what, err);
    else
        printf("%s: connected\n", what);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: netprobe ADDRESS PORT\n");
        return 2;
    }
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa)) {
        fprintf(stderr, "netprobe: no sockets\n");
        return 1;
    }
    sockaddr_in self = {};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    int len = sizeof(self);
    if (listener == INVALID_SOCKET || bind(listener, (const sockaddr *)&self, sizeof(self)) ||
        listen(listener, 1) || getsockname(listener, (sockaddr *)&self, &len)) {
        printf("self: cannot listen (error %d)\n", WSAGetLastError());
    } else {
        Report("self", Connect(self));
    }
    closesocket(listener);

    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons((u_short)atoi(argv[2]));
    if (inet_pton(AF_INET, argv[1], &to.sin_addr) != 1) {
        fprintf(stderr, "netprobe: not an IPv4 address: %s\n", argv[1]);
        return 2;
    }
    char what[64];
    snprintf(what, sizeof(what), "%s:%s", argv[1], argv[2]);
    Report(what, Connect(to));
    fflush(stdout);
    WSACleanup();
    return 0;
}
