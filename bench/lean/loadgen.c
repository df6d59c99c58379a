/* Network loads for bench_side_by_side.py, run in the benchmark's client
 * network namespace against "sink" in the server namespace:
 *
 *   loadgen sink PORT                      accepts and discards everything
 *   loadgen bulk HOST PORT BYTES           one process sends BYTES at full speed
 *   loadgen connected HOST PORT N          N processes, each with its own
 *                                          connection, sending 64 bytes a second;
 *                                          prints "ready" once all are connected
 *   loadgen churn HOST PORT RATE SECONDS   RATE new processes a second, each
 *                                          connecting and sending 1 KiB once
 *
 * The clients run until killed (the script ends their process group).
 */
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static void raise_fd_limit(void)
{
    struct rlimit limit = {1 << 16, 1 << 16};
    setrlimit(RLIMIT_NOFILE, &limit);
}

static int connect_to(const char *host, int port)
{
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons((unsigned short)port);
    inet_pton(AF_INET, host, &addr.sin_addr);
    for (int attempt = 0; attempt < 200; ++attempt) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0)
            return -1;
        if (connect(fd, (struct sockaddr *)&addr, sizeof addr) == 0)
            return fd;
        close(fd);
        usleep(20000);
    }
    return -1;
}

static int send_all(int fd, const char *data, size_t size)
{
    while (size > 0) {
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        data += n;
        size -= (size_t)n;
    }
    return 0;
}

static double now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static int sink(int port)
{
    raise_fd_limit();
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons((unsigned short)port);
    if (bind(listener, (struct sockaddr *)&addr, sizeof addr) != 0 || listen(listener, 4096) != 0) {
        perror("sink");
        return 1;
    }
    int poller = epoll_create1(0);
    struct epoll_event event = {.events = EPOLLIN, .data.fd = listener};
    epoll_ctl(poller, EPOLL_CTL_ADD, listener, &event);
    static char buffer[1 << 20];
    struct epoll_event ready[256];
    for (;;) {
        int n = epoll_wait(poller, ready, 256, -1);
        for (int i = 0; i < n; ++i) {
            int fd = ready[i].data.fd;
            if (fd == listener) {
                int client = accept(listener, NULL, NULL);
                if (client >= 0) {
                    struct epoll_event e = {.events = EPOLLIN, .data.fd = client};
                    epoll_ctl(poller, EPOLL_CTL_ADD, client, &e);
                }
            } else if (read(fd, buffer, sizeof buffer) <= 0) {
                close(fd);
            }
        }
    }
}

static int bulk(const char *host, int port, long long bytes)
{
    int fd = connect_to(host, port);
    if (fd < 0) {
        perror("bulk: connect");
        return 1;
    }
    static char chunk[1 << 20];
    double start = now();
    for (long long left = bytes; left > 0;) {
        size_t size = left < (long long)sizeof chunk ? (size_t)left : sizeof chunk;
        if (send_all(fd, chunk, size) != 0) {
            perror("bulk: send");
            return 1;
        }
        left -= (long long)size;
    }
    close(fd);
    printf("%.3f\n", now() - start);
    return 0;
}

static int connected(const char *host, int port, int count)
{
    int ready[2];
    if (pipe(ready) != 0)
        return 1;
    for (int i = 0; i < count; ++i) {
        pid_t child = fork();
        if (child < 0) {
            perror("connected: fork");
            return 1;
        }
        if (child == 0) {
            close(ready[0]);
            int fd = connect_to(host, port);
            if (fd < 0)
                _exit(1);
            char data[64] = {0};
            if (write(ready[1], "x", 1) != 1)
                _exit(1);
            close(ready[1]);
            for (;;) {
                if (send_all(fd, data, sizeof data) != 0)
                    _exit(1);
                sleep(1);
            }
        }
    }
    close(ready[1]);
    char byte;
    int connected_count = 0;
    while (connected_count < count && read(ready[0], &byte, 1) == 1)
        ++connected_count;
    printf("ready %d\n", connected_count);
    fflush(stdout);
    for (;;)
        pause();
}

static int churn(const char *host, int port, int rate, double seconds)
{
    signal(SIGCHLD, SIG_IGN); /* children are reaped by the kernel */
    double start = now();
    long started = 0;
    while (now() - start < seconds) {
        pid_t child = fork();
        if (child == 0) {
            int fd = connect_to(host, port);
            if (fd < 0)
                _exit(1);
            char data[1024] = {0};
            send_all(fd, data, sizeof data);
            close(fd);
            _exit(0);
        }
        if (child > 0)
            ++started;
        double next = start + (double)started / rate;
        double wait = next - now();
        if (wait > 0)
            usleep((useconds_t)(wait * 1e6));
    }
    printf("%ld\n", started);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "sink") == 0)
        return sink(atoi(argv[2]));
    if (argc == 5 && strcmp(argv[1], "bulk") == 0)
        return bulk(argv[2], atoi(argv[3]), atoll(argv[4]));
    if (argc == 5 && strcmp(argv[1], "connected") == 0)
        return connected(argv[2], atoi(argv[3]), atoi(argv[4]));
    if (argc == 6 && strcmp(argv[1], "churn") == 0)
        return churn(argv[2], atoi(argv[3]), atoi(argv[4]), atof(argv[5]));
    fprintf(stderr, "usage: see the comment at the top of loadgen.c\n");
    return 2;
}
