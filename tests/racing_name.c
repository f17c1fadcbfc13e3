/* A program that races its own name and directory, for the tests of records read from tmux.
 *
 *   racing_name SHORT FORGED DIR_A DIR_B
 *
 * As fast as it can, it writes SHORT and then FORGED over its argv[0] in place (what
 * /proc/PID/cmdline and so tmux's pane_current_command show), gives the kernel's task name the
 * same texts, and moves between DIR_A and DIR_B (what pane_current_path shows). FORGED holds
 * line ends and text that looks like records of a listing; it is given as an argument so that
 * the argument area is long enough to hold it. It ends itself after two minutes, should the
 * server that runs it never hang it up.
 */
#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: racing_name SHORT FORGED DIR_A DIR_B\n");
        return 2;
    }
    /* The texts are copied out first: writing over argv[0] runs on over the arguments. */
    char *names[2] = {strdup(argv[1]), strdup(argv[2])};
    char *dirs[2] = {strdup(argv[3]), strdup(argv[4])};
    if (!names[0] || !names[1] || !dirs[0] || !dirs[1]) {
        return 1;
    }
    char *area = argv[0];
    /* The last byte of the area stays a NUL, so the kernel reads no further than it. */
    size_t room = (size_t)(argv[argc - 1] + strlen(argv[argc - 1]) - area);
    size_t lengths[2] = {strlen(names[0]), strlen(names[1])};
    if (lengths[0] >= room || lengths[1] >= room) {
        fprintf(stderr, "racing_name: no room for the names\n");
        return 2;
    }
    alarm(120);
    printf("racing\n");
    fflush(stdout);
    for (unsigned long i = 0;; ++i) {
        int which = (int)(i & 1);
        memcpy(area, names[which], lengths[which] + 1);
        prctl(PR_SET_NAME, (unsigned long)names[which], 0, 0, 0);
        if (chdir(dirs[which]) != 0) {
            return 1;
        }
    }
}
