/* What the system calls of one status-line run cost, with nothing else of the tee: a static C program that
 * makes the calls a run makes for its record and its line (the input read, the state directory's path looked
 * at, the walk up to the parent in /proc and its snapshot, the boot id, the local time zone, the record
 * written through a spare and exchanged, the settings, pause and daemon files looked at, the line written).
 * It parses and checks nothing and writes a record of the same size in a file of its own. Above it, a run of
 * the tee is what its own code costs; below it, nothing the record needs can go. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static char input[65536];
static char bytes[4096];

static int readWhole(const char* path) {
    int fd = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    int count = (int)read(fd, bytes, sizeof bytes - 1);
    close(fd);
    if (count >= 0) bytes[count] = '\0';
    return count;
}

int main(void) {
    size_t used = 0;
    ssize_t count;
    while ((count = read(0, input + used, sizeof input - used)) > 0) used += (size_t)count;

    const char* state = getenv("VAZ_ADODIVO_STATE_DIR");
    if (!state || state[0] != '/' || strlen(state) > 512) return 0;
    char path[1024];
    struct stat status;
    /* Each directory from the root down, then sessions/. */
    for (const char* at = state;; at = strchr(at + 1, '/')) {
        const size_t length = at ? (size_t)(at - state) : strlen(state);
        snprintf(path, sizeof path, "%.*s", (int)(length ? length : 1), state);
        lstat(path, &status);
        if (!at) break;
    }
    geteuid();
    snprintf(path, sizeof path, "%s/sessions", state);
    lstat(path, &status);

    const pid_t parent = getppid();
    snprintf(path, sizeof path, "/proc/%d/cmdline", (int)parent);
    readWhole(path);
    snprintf(path, sizeof path, "/proc/%d/stat", (int)parent);
    int grandparent = 0;
    if (readWhole(path) > 0) {
        const char* end = strrchr(bytes, ')');
        if (end) sscanf(end + 2, "%*c %d", &grandparent);
    }
    readWhole("/proc/sys/kernel/random/boot_id");
    snprintf(path, sizeof path, "/proc/%d/cmdline", grandparent);
    readWhole(path);
    const time_t now = time(NULL);
    struct tm local;
    localtime_r(&now, &local);
    char start[64];
    strftime(start, sizeof start, "%a %b %e %H:%M:%S %Y", &local);

    char spare[1024], record[1024];
    snprintf(path, sizeof path, "%s/sessions", state);
    stat(path, &status);
    snprintf(spare, sizeof spare, "%s/sessions/.calls.json.spare", state);
    snprintf(record, sizeof record, "%s/sessions/calls.json", state);
    int fd = open(spare, O_WRONLY | O_CREAT | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
        flock(fd, LOCK_EX | LOCK_NB);
        fstat(fd, &status);
        lstat(spare, &status);
        geteuid();
        /* A record's size: some 500 bytes. */
        const int length =
            snprintf(bytes, sizeof bytes, "{\n  \"pid_start\": \"%s\",\n  \"ts\": %ld,\n  \"pad\": \"%400s\"\n}\n",
                     start, (long)now, "");
        if (write(fd, bytes, (size_t)length) == length &&
            renameat2(AT_FDCWD, spare, AT_FDCWD, record, RENAME_EXCHANGE) != 0) {
            rename(spare, record);
        }
        close(fd);
    }
    const char* const looked[] = {"config.json", "pause.json", "daemon.pid"};
    for (size_t i = 0; i < sizeof looked / sizeof looked[0]; ++i) {
        snprintf(path, sizeof path, "%s/%s", state, looked[i]);
        readWhole(path);
    }
    static const char line[] = "\xe2\x8f\xb3 5h 42%\n";
    (void)!write(1, line, sizeof line - 1);
    return 0;
}
