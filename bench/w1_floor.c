/* The floor for W1 on this machine: the least work a server can do for a
 * scanner's batch, measured in the same run as the real servers. One client
 * at a time, blocking calls, no event loop, no threads, no path checks, no
 * case-insensitive names, no log: the greeting, any login, PASV with a fresh
 * listener, and STOR read into the file with a 1 MiB buffer.
 *
 *   w1_floor PORT HOME staged   hidden file, fdatasync, rename, folder fsync
 *                               (what lumbra-ftpd must do for every upload)
 *   w1_floor PORT HOME direct   straight into the target (what the peers do)
 *
 * Only for bench/compare.py, on 127.0.0.1; it trusts its client. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static char buffer[1 << 20];

static void say(int fd, const char *reply)
{
    if (write(fd, reply, strlen(reply)) < 0)
        perror("write");
}

static int listener(int port)
{
    struct sockaddr_in a = {.sin_family = AF_INET, .sin_port = htons(port),
                            .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
    int on = 1;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, (struct sockaddr *)&a, sizeof a) != 0 || listen(fd, 16) != 0) {
        perror("listen");
        exit(1);
    }
    return fd;
}

/* One line without its CR LF into `line`; 0 when the client has gone. */
static int read_line(int fd, char *pending, size_t *held, char *line, size_t size)
{
    for (;;) {
        char *end = memmem(pending, *held, "\r\n", 2);
        if (end) {
            size_t length = (size_t)(end - pending);
            if (length >= size)
                length = size - 1;
            memcpy(line, pending, length);
            line[length] = 0;
            *held -= (size_t)(end + 2 - pending);
            memmove(pending, end + 2, *held);
            return 1;
        }
        ssize_t n = read(fd, pending + *held, 4096 - *held);
        if (n <= 0)
            return 0;
        *held += (size_t)n;
    }
}

static void store(int control, int passive, int home, const char *name, int staged)
{
    char staging[4200];
    int data = accept4(passive, NULL, NULL, SOCK_CLOEXEC);
    close(passive);
    say(control, "150 Opening BINARY mode data connection.\r\n");
    snprintf(staging, sizeof staging, staged ? ".floor-%s.part" : "%s", name);
    int file = openat(home, staging, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ssize_t n;
    while ((n = read(data, buffer, sizeof buffer)) > 0)
        if (write(file, buffer, (size_t)n) != n)
            perror("write");
    if (staged)
        fdatasync(file);
    close(file);
    close(data);
    if (staged) {
        renameat(home, staging, home, name);
        fsync(home);
    }
    say(control, "226 Transfer complete.\r\n");
}

static void serve(int control, int home, int staged)
{
    char pending[4096], line[4096], reply[128];
    size_t held = 0;
    int passive = -1, on = 1;
    setsockopt(control, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    say(control, "220 floor\r\n");
    while (read_line(control, pending, &held, line, sizeof line)) {
        if (!strncasecmp(line, "PASV", 4)) {
            struct sockaddr_in a;
            socklen_t length = sizeof a;
            if (passive >= 0)
                close(passive);
            passive = listener(0);
            getsockname(passive, (struct sockaddr *)&a, &length);
            int port = ntohs(a.sin_port);
            snprintf(reply, sizeof reply, "227 Entering Passive Mode (127,0,0,1,%d,%d).\r\n",
                     port >> 8, port & 255);
            say(control, reply);
        } else if (!strncasecmp(line, "STOR ", 5) && passive >= 0) {
            store(control, passive, home, line + 5, staged);
            passive = -1;
        } else if (!strncasecmp(line, "QUIT", 4)) {
            say(control, "221 Goodbye.\r\n");
            break;
        } else if (!strncasecmp(line, "USER", 4)) {
            say(control, "331 Password required.\r\n");
        } else if (!strncasecmp(line, "PASS", 4)) {
            say(control, "230 Logged in.\r\n");
        } else {
            say(control, "200 OK.\r\n");
        }
    }
    if (passive >= 0)
        close(passive);
    close(control);
}

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: %s PORT HOME staged|direct\n", argv[0]);
        return 2;
    }
    int fd = listener(atoi(argv[1]));
    int home = open(argv[2], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int staged = strcmp(argv[3], "staged") == 0;
    if (home < 0) {
        perror(argv[2]);
        return 1;
    }
    for (;;) {
        int control = accept4(fd, NULL, NULL, SOCK_CLOEXEC);
        if (control >= 0)
            serve(control, home, staged);
    }
}
