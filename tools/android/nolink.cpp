/* Runs a program with link() and linkat() failing with EACCES, as Android's
   SELinux policy makes them fail for every app.  A seccomp filter, inherited
   by every process the program starts; only the native system call table
   is filtered (a 32-bit program on a 64-bit kernel is not covered). */
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <linux/filter.h>
#include <linux/seccomp.h>

#define REFUSE(nr) BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, (nr), 0, 1), \
                   BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EACCES)

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s PROGRAM [ARG...]\n", argv[0]);
        return 2;
    }
    struct sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
#ifdef __NR_link
        REFUSE(__NR_link),
#endif
        REFUSE(__NR_linkat),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog program = {sizeof filter / sizeof filter[0], filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
        perror("nolink: seccomp");
        return 1;
    }
    execvp(argv[1], argv + 1);
    perror(argv[1]);
    return 127;
}
