/*
 * Preloaded into zebd by the tests of its start: each listen() waits 50 ms
 * before it listens, so that whatever happens between binding a socket and
 * listening on it lasts long enough for a test to see it.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <sys/socket.h>
#include <time.h>

int listen(int fd, int backlog) {
    static const struct timespec pause = {0, 50L * 1000 * 1000};
    nanosleep(&pause, NULL);
    int (*next)(int, int) = (int (*)(int, int))dlsym(RTLD_NEXT, "listen");
    return next(fd, backlog);
}
