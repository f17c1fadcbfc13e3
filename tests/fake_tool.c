/*
 * Stand-in for tmux, id and ps in the tests: one binary, copied under each name. The directory
 * named by VORDALIN_FAKE_DIR holds its state:
 *   log         one JSON line per run: "prog", "pid", "argv" (without argv[0]), "fds" (what fds 0-2 are:
 *               null, pipe, other, closed), "sigpipe" (default or changed), "pipes" (inodes of pipes at fd 3+),
 *               "blocked" and "ignored" (the signal mask and ignored signals, as hex masks from
 *               /proc/self/status)
 *   PROG.count  how many answers of PROG were consumed
 *   PROG.N      the N-th answer: "code signal hang signal_parent timeout out_len err_len linger_ms\n", then
 *               the bytes; linger_ms > 0 closes both streams after writing and exits that much later
 * No answer means: exit 0, print nothing. Output alternates 64 KiB chunks between the streams, so a caller
 * that drains one pipe before reading the other deadlocks; an alarm bounds every run.
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static void json_string(FILE *f, const char *s) {
    fputc('"', f);
    for (const unsigned char *p = (const unsigned char *)s; *p; p++) {
        if (*p == '"' || *p == '\\') fprintf(f, "\\%c", *p);
        else if (*p < 0x20) fprintf(f, "\\u%04x", *p);
        else fputc(*p, f);
    }
    fputc('"', f);
}

static const char *fd_kind(int fd) {
    struct stat st, null_st;
    if (fstat(fd, &st) != 0) return "closed";
    if (S_ISFIFO(st.st_mode)) return "pipe";
    return S_ISCHR(st.st_mode) && stat("/dev/null", &null_st) == 0 && st.st_rdev == null_st.st_rdev ? "null" : "other";
}

/* The hex mask after "NAME:\t" in /proc/self/status, into out. */
static void status_mask(const char *name, char *out, size_t size) {
    char line[256];
    size_t len = strlen(name);
    FILE *f = fopen("/proc/self/status", "r");
    snprintf(out, size, "?");
    while (f && fgets(line, sizeof line, f)) {
        if (strncmp(line, name, len) == 0 && line[len] == ':') {
            snprintf(out, size, "%.*s", (int)strcspn(line + len + 2, "\n"), line + len + 2);
        }
    }
    if (f) fclose(f);
}

/* Writes at most one chunk of what is left; returns how much that was. */
static size_t write_chunk(int fd, const char *p, size_t left) {
    size_t n = left < 65536 ? left : 65536, done = 0;
    while (done < n) {
        ssize_t w = write(fd, p + done, n - done);
        if (w < 0 && errno != EINTR) return n;
        if (w > 0) done += (size_t)w;
    }
    return n;
}

int main(int argc, char **argv) {
    /* A caller that limits its own address space (to run out of memory in a test) does not
       limit the program it stands for. */
    struct rlimit space;
    if (getrlimit(RLIMIT_AS, &space) == 0) space.rlim_cur = space.rlim_max, setrlimit(RLIMIT_AS, &space);
    const char *prog = strrchr(argv[0], '/') ? strrchr(argv[0], '/') + 1 : argv[0];
    /* What the caller handed over, noted before this program opens anything of its own. */
    const char *kinds[3] = {fd_kind(0), fd_kind(1), fd_kind(2)};
    struct sigaction pipe_action;
    sigaction(SIGPIPE, NULL, &pipe_action);
    char blocked[64], ignored[64];
    status_mask("SigBlk", blocked, sizeof blocked);
    status_mask("SigIgn", ignored, sizeof ignored);
    char *line = NULL, path[4096];
    size_t line_len = 0;
    FILE *f = open_memstream(&line, &line_len);
    fputs("{\"prog\":", f);
    json_string(f, prog);
    fprintf(f, ",\"pid\":%ld,\"argv\":[", (long)getpid());
    for (int i = 1; i < argc; i++) {
        fputs(i > 1 ? "," : "", f);
        json_string(f, argv[i]);
    }
    fprintf(f, "],\"fds\":[\"%s\",\"%s\",\"%s\"],\"sigpipe\":\"%s\",\"pipes\":[", kinds[0], kinds[1], kinds[2],
            pipe_action.sa_handler == SIG_DFL ? "default" : "changed");
    DIR *d = opendir("/proc/self/fd");
    const char *sep = "";
    for (struct dirent *e; d && (e = readdir(d)) != NULL;) {
        int fd = atoi(e->d_name);
        struct stat st;
        if (fd >= 3 && fd != dirfd(d) && fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode)) {
            fprintf(f, "%s%lu", sep, (unsigned long)st.st_ino);
            sep = ",";
        }
    }
    if (d) closedir(d);
    fprintf(f, "],\"blocked\":\"%s\",\"ignored\":\"%s\"}\n", blocked, ignored);
    fclose(f);

    const char *dir = getenv("VORDALIN_FAKE_DIR");
    if (!dir) return 125;
    snprintf(path, sizeof path, "%s/lock", dir);
    int lock = open(path, O_RDWR | O_CREAT, 0600);
    snprintf(path, sizeof path, "%s/log", dir);
    if (lock < 0 || flock(lock, LOCK_EX) != 0 || !(f = fopen(path, "a"))) return 124;
    fwrite(line, 1, line_len, f);
    fclose(f);
    long index = 0;
    snprintf(path, sizeof path, "%s/%s.count", dir, prog);
    if ((f = fopen(path, "r")) != NULL && (fscanf(f, "%ld", &index) != 1 || fclose(f) != 0)) return 122;
    if ((f = fopen(path, "w")) != NULL) fprintf(f, "%ld\n", index + 1), fclose(f);
    close(lock);

    snprintf(path, sizeof path, "%s/%s.%ld", dir, prog, index);
    if ((f = fopen(path, "r")) == NULL) return 0;
    int code, sig, hang, sig_parent, timeout, linger;
    size_t out_len, err_len;
    if (fscanf(f, "%d %d %d %d %d %zu %zu %d", &code, &sig, &hang, &sig_parent, &timeout, &out_len, &err_len,
               &linger) != 8 ||
        fgetc(f) != '\n') return 123;
    char *out = malloc(out_len + 1), *err = malloc(err_len + 1);
    if (!out || !err || fread(out, 1, out_len, f) != out_len || fread(err, 1, err_len, f) != err_len) return 121;
    alarm((unsigned)timeout);
    for (size_t o = 0, e = 0; o < out_len || e < err_len;) {
        o += write_chunk(1, out + o, out_len - o);
        e += write_chunk(2, err + e, err_len - e);
    }
    if (linger) close(1), close(2);
    if (sig_parent) {
        /* Let the caller settle into its wait before the signal lands. */
        nanosleep(&(struct timespec){0, 30 * 1000 * 1000}, NULL);
        kill(getppid(), sig_parent);
    }
    if (linger) nanosleep(&(struct timespec){linger / 1000, linger % 1000 * 1000000L}, NULL);
    while (hang) pause();
    if (sig) signal(sig, SIG_DFL), raise(sig);
    return code;
}
