/*
 * Checks, as a 32-bit program, what 32-bit Wine relies on and the preload library
 * mends where i386 programs run under qemu-user: MAP_FIXED_NOREPLACE maps exactly
 * or fails with EEXIST; signal frames carry the processor's trap number and the
 * page fault's error code; every thread keeps its own thread-local storage across
 * returns from signal handlers. Natively the kernel passes all of it by itself.
 * Prints one line per failed check and exits 1 if any failed.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#ifndef MAP_FIXED_NOREPLACE
#define MAP_FIXED_NOREPLACE 0x100000
#endif

static int failures;

static void fail(const char *what)
{
    printf("preload-check: %s\n", what);
    failures++;
}

/* ---- MAP_FIXED_NOREPLACE ---- */

static void check_fixed_noreplace(void)
{
    const size_t page = (size_t)sysconf(_SC_PAGESIZE);
    char *busy = mmap(NULL, 2 * page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (busy == MAP_FAILED) {
        fail("mmap failed");
        return;
    }
    void *got = mmap(busy, page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (got != MAP_FAILED || errno != EEXIST) fail("MAP_FIXED_NOREPLACE over a mapping did not fail with EEXIST");
    if (got != MAP_FAILED) munmap(got, page);

    /* The page above is freed: a range half free, half taken must fail too. */
    munmap(busy + page, page);
    got = mmap(busy + page, page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (got != busy + page) fail("MAP_FIXED_NOREPLACE on a free range did not map at the address asked for");
    if (got != MAP_FAILED) munmap(got, page);
    got = mmap(busy, 2 * page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (got != MAP_FAILED || errno != EEXIST) fail("MAP_FIXED_NOREPLACE over a partly taken range did not fail with EEXIST");
    if (got != MAP_FAILED) munmap(got, 2 * page);
    munmap(busy, page);
}

/* ---- trap numbers and error codes ---- */

static sigjmp_buf resume;
static int seen_trap, seen_err;

static void on_trap(int sig, siginfo_t *info, void *context)
{
    (void)sig;
    (void)info;
    ucontext_t *uc = context;
    seen_trap = uc->uc_mcontext.gregs[REG_TRAPNO];
    seen_err = uc->uc_mcontext.gregs[REG_ERR];
    siglongjmp(resume, 1);
}

static char *read_only, *no_exec;
static volatile int zero;

static void write_read_only(void) { *(volatile char *)read_only = 1; }
static volatile uintptr_t nowhere = 16;
static void read_nowhere(void) { (void)*(volatile char *)nowhere; }
static void execute_no_exec(void) { ((void (*)(void))no_exec)(); }
static void undefined_opcode(void) { __asm__ volatile("ud2"); }
static void breakpoint(void) { __asm__ volatile("int3"); }
static void divide_by_zero(void)
{
    int quotient;
    __asm__ volatile("cltd; idivl %2" : "=a"(quotient) : "a"(100), "r"(zero) : "edx");
    zero = quotient;
}

static void check_trap(const char *name, void (*fault)(void), int trap, int err_set, int err_clear)
{
    seen_trap = seen_err = -2;
    if (sigsetjmp(resume, 1) == 0) fault();
    char line[160];
    if (seen_trap != trap) {
        snprintf(line, sizeof line, "%s: trap number %d, not %d", name, seen_trap, trap);
        fail(line);
    } else if ((seen_err & err_set) != err_set || (seen_err & err_clear) != 0) {
        snprintf(line, sizeof line, "%s: error code 0x%x", name, seen_err);
        fail(line);
    }
}

static void check_traps(void)
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_sigaction = on_trap;
    sa.sa_flags = SA_SIGINFO | SA_NODEFER;
    const int signals[] = {SIGSEGV, SIGBUS, SIGILL, SIGTRAP, SIGFPE};
    for (size_t i = 0; i < sizeof signals / sizeof signals[0]; i++) sigaction(signals[i], &sa, NULL);

    read_only = mmap(NULL, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    no_exec = mmap(NULL, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (read_only == MAP_FAILED || no_exec == MAP_FAILED) {
        fail("mmap failed");
        return;
    }
    enum { WRITE = 2, USER = 4, FETCH = 16 };
    check_trap("write to a read-only page", write_read_only, 14, WRITE | USER, FETCH);
    check_trap("read of an unmapped page", read_nowhere, 14, USER, WRITE | FETCH);
    check_trap("jump into a page without execute", execute_no_exec, 14, USER | FETCH, WRITE);
    check_trap("ud2", undefined_opcode, 6, 0, 0);
    check_trap("int3", breakpoint, 3, 0, 0);
    check_trap("integer division by zero", divide_by_zero, 0, 0, 0);
}

/* ---- thread-local storage across signal returns ---- */

static __thread int own_value;
static volatile int wrong_values;

static void on_usr1(int sig) { (void)sig; }

static void *keep_own_value(void *p)
{
    own_value = (int)(intptr_t)p;
    for (int i = 0; i < 500; i++) {
        raise(SIGUSR1);  /* the return from the handler reloads %gs */
        if (own_value != (int)(intptr_t)p) {
            __sync_fetch_and_add(&wrong_values, 1);
            own_value = (int)(intptr_t)p;
        }
    }
    return NULL;
}

static void check_threads(void)
{
    signal(SIGUSR1, on_usr1);
    for (int round = 0; round < 10; round++) {
        pthread_t threads[6];
        int started = 0;
        for (int i = 0; i < 6; i++)
            if (pthread_create(&threads[started], NULL, keep_own_value, (void *)(intptr_t)(round * 10 + i + 1)) == 0)
                started++;
        if (started != 6) fail("pthread_create failed");
        keep_own_value((void *)(intptr_t)1000);
        for (int i = 0; i < started; i++) pthread_join(threads[i], NULL);
    }
    if (wrong_values) {
        char line[120];
        snprintf(line, sizeof line, "threads saw another thread's thread-local storage %d times", wrong_values);
        fail(line);
    }
}

int main(void)
{
    check_fixed_noreplace();
    check_traps();
    check_threads();
    if (!failures) puts("preload-check: all checks passed");
    return failures ? 1 : 0;
}
