/*
 * The limit: the least a caller can spend to run one tmux command and, when the operation
 * reads it, take in its standard output. posix_spawnp of the same argv, standard input and
 * error on /dev/null, standard output on /dev/null or read through a pipe, then waitpid.
 *
 *   limit [-o] [-m] [-w WARM] (-n COUNT | -s) -- PROGRAM ARG... [--- PROGRAM ARG...]...
 *
 * One call runs each command in turn ("---" separates them), as one operation that needs
 * more than one process does: two tmux commands, or tmux and then ps for what it listed.
 * -o reads standard output through a pipe, into one buffer reused by every call.
 * -s serves blocks after that: each line read from standard input holds a count, and the
 *    answer is a block of that many calls, printed as below. The process stays warm.
 * -w runs WARM calls first, untimed, so that the timed ones find this process warm.
 * -m reports the peak resident size before and after the calls (VmHWM, in KiB), with the
 *    peak reset first where the kernel allows it.
 * A block prints one line per call with its wall time in nanoseconds, then a summary line:
 *   median_ns=N cpu_ns=C failed=F bytes=B [hwm_before_kib=K hwm_after_kib=K]
 * where cpu_ns is the processor time this process (not its children) spent on the block,
 * failed counts commands that did not exit with code 0 and bytes is the size of the last
 * command's output.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

static void die(const char *what, int e) {
    fprintf(stderr, "limit: %s: %s\n", what, strerror(e));
    exit(2);
}

static uint64_t clock_ns(clockid_t clock) {
    struct timespec ts;
    clock_gettime(clock, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

static uint64_t now_ns(void) { return clock_ns(CLOCK_MONOTONIC); }

static long peak_kib(void) {
    FILE *status = fopen("/proc/self/status", "r");
    if (status == NULL) {
        return -1;
    }
    char line[256];
    long kib = -1;
    while (fgets(line, sizeof line, status) != NULL) {
        if (strncmp(line, "VmHWM:", 6) == 0) {
            kib = strtol(line + 6, NULL, 10);
            break;
        }
    }
    fclose(status);
    return kib;
}

static void reset_peak(void) {
    /* "5" resets VmHWM to the current resident size (Linux 4.0 and later). */
    int fd = open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
        if (write(fd, "5", 1) < 0) {
            /* Not allowed here: the peak so far stays the baseline. */
        }
        close(fd);
    }
}

static int compare_u64(const void *a, const void *b) {
    uint64_t x = *(const uint64_t *)a;
    uint64_t y = *(const uint64_t *)b;
    return (x > y) - (x < y);
}

struct buffer {
    char *data;
    size_t used;
    size_t size;
};

/* Reads fd to end of file into the buffer, doubling it when full. */
static void read_all(int fd, struct buffer *buf) {
    buf->used = 0;
    for (;;) {
        if (buf->used == buf->size) {
            size_t size = buf->size == 0 ? 64 * 1024 : buf->size * 2;
            char *data = realloc(buf->data, size);
            if (data == NULL) {
                die("realloc", ENOMEM);
            }
            buf->data = data;
            buf->size = size;
        }
        ssize_t got = read(fd, buf->data + buf->used, buf->size - buf->used);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            die("read", errno);
        }
        if (got == 0) {
            return;
        }
        buf->used += (size_t)got;
    }
}

/* One call: spawn, read when asked, reap. Returns the exit status as waitpid gave it. */
static int run_once(char **argv, int read_output, struct buffer *buf) {
    posix_spawn_file_actions_t actions;
    int rc = posix_spawn_file_actions_init(&actions);
    if (rc != 0) {
        die("posix_spawn_file_actions_init", rc);
    }
    int fds[2] = {-1, -1};
    rc = posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (rc == 0) {
        rc = posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    }
    if (rc == 0 && read_output) {
        if (pipe2(fds, O_CLOEXEC) != 0) {
            die("pipe2", errno);
        }
        rc = posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    } else if (rc == 0) {
        rc = posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    }
    if (rc != 0) {
        die("posix_spawn_file_actions", rc);
    }
    pid_t pid;
    rc = posix_spawnp(&pid, argv[0], &actions, NULL, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        die("posix_spawnp", rc);
    }
    if (read_output) {
        close(fds[1]);
        read_all(fds[0], buf);
        close(fds[0]);
    } else {
        buf->used = 0;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            die("waitpid", errno);
        }
    }
    return status;
}

static void usage(void) {
    fprintf(stderr, "usage: limit [-o] [-m] [-w WARM] (-n COUNT | -s) -- PROGRAM ARG... [--- PROGRAM ARG...]...\n");
    exit(2);
}

struct plan {
    char **commands[64];
    int command_count;
    int read_output;
    int report_peak;
    struct buffer buf;
};

/* Runs the commands `count` times over and prints the block: samples, then the summary. */
static void run_block(struct plan *plan, long count) {
    uint64_t *samples = calloc((size_t)count, sizeof *samples);
    if (samples == NULL) {
        die("calloc", ENOMEM);
    }
    long hwm_before = 0;
    if (plan->report_peak) {
        reset_peak();
        hwm_before = peak_kib();
    }
    long failed = 0;
    uint64_t cpu_start = clock_ns(CLOCK_PROCESS_CPUTIME_ID);
    for (long i = 0; i < count; ++i) {
        uint64_t start = now_ns();
        for (int c = 0; c < plan->command_count; ++c) {
            int status = run_once(plan->commands[c], plan->read_output, &plan->buf);
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
                ++failed;
            }
        }
        samples[i] = now_ns() - start;
    }
    uint64_t cpu = clock_ns(CLOCK_PROCESS_CPUTIME_ID) - cpu_start;
    long hwm_after = plan->report_peak ? peak_kib() : 0;

    for (long i = 0; i < count; ++i) {
        printf("%llu\n", (unsigned long long)samples[i]);
    }
    qsort(samples, (size_t)count, sizeof *samples, compare_u64);
    uint64_t median = count % 2 ? samples[count / 2] : (samples[count / 2 - 1] + samples[count / 2]) / 2;
    printf("median_ns=%llu cpu_ns=%llu failed=%ld bytes=%zu", (unsigned long long)median, (unsigned long long)cpu,
           failed, plan->buf.used);
    if (plan->report_peak) {
        printf(" hwm_before_kib=%ld hwm_after_kib=%ld", hwm_before, hwm_after);
    }
    printf("\n");
    fflush(stdout);
    free(samples);
}

int main(int argc, char **argv) {
    struct plan plan = {.command_count = 0, .read_output = 0, .report_peak = 0, .buf = {NULL, 0, 0}};
    long count = 0;
    long warm = 0;
    int serve = 0;
    int opt;
    while ((opt = getopt(argc, argv, "omsn:w:")) != -1) {
        switch (opt) {
        case 'o':
            plan.read_output = 1;
            break;
        case 'm':
            plan.report_peak = 1;
            break;
        case 's':
            serve = 1;
            break;
        case 'n':
            count = strtol(optarg, NULL, 10);
            break;
        case 'w':
            warm = strtol(optarg, NULL, 10);
            break;
        default:
            usage();
        }
    }
    if ((count <= 0 && !serve) || warm < 0 || optind >= argc) {
        usage();
    }
    /* Cut the command lines apart in place: each "---" becomes the end of the one before. */
    plan.commands[plan.command_count++] = argv + optind;
    for (int i = optind; i < argc; ++i) {
        if (strcmp(argv[i], "---") == 0) {
            if (plan.command_count == 64 || i + 1 == argc) {
                usage();
            }
            argv[i] = NULL;
            plan.commands[plan.command_count++] = argv + i + 1;
        }
    }

    for (long i = 0; i < warm; ++i) {
        for (int c = 0; c < plan.command_count; ++c) {
            run_once(plan.commands[c], plan.read_output, &plan.buf);
        }
    }
    if (count > 0) {
        run_block(&plan, count);
    }
    /* Serving: each line on standard input asks for one more block of that many calls. */
    char line[64];
    while (serve && fgets(line, sizeof line, stdin) != NULL) {
        long more = strtol(line, NULL, 10);
        if (more > 0) {
            run_block(&plan, more);
        }
    }
    free(plan.buf.data);
    return 0;
}
