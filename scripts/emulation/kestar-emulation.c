/*
 * Preloaded into 32-bit programs that run under qemu-user (i386 on a kernel that
 * runs 64-bit code only), so that 32-bit Wine starts and runs there. It mends three
 * faults of the emulator (as seen in qemu 7.2) that Wine's i386 loader trips over:
 *
 * 1. mmap with MAP_FIXED_NOREPLACE is taken as a mere hint and may map elsewhere.
 *    Here it gets its kernel meaning: the mapping lands at exactly the address asked
 *    for, or the call fails with EEXIST.
 *
 * 2. Every signal frame carries trapno -1, and the error code of a page fault lacks
 *    the instruction-fetch bit. Wine's handlers switch on trapno, so page faults
 *    would become illegal-instruction exceptions. Handlers installed for SIGSEGV,
 *    SIGBUS, SIGILL, SIGTRAP and SIGFPE are wrapped: before they run, trapno (and
 *    the fetch bit) are rebuilt from the signal's siginfo.
 *
 * 3. The emulator keeps one table of thread-local (GDT) descriptors for all threads
 *    of a process, so a slot written by one thread changes it for every thread; each
 *    reload of a segment register (every return from a signal handler, every switch
 *    between Wine's Unix and Windows sides) then picks up whichever thread wrote the
 *    slot last. So: new slots are refused (set_thread_area with entry_number -1
 *    fails with ESRCH), which makes Wine use a per-thread LDT selector for each TEB,
 *    and every C-library thread, the first one included, gets a %gs selector of its
 *    own in the LDT, which the emulator shares correctly as one table per process.
 *
 * The library must only ever be loaded into emulated programs: natively it would
 * needlessly move %gs into the LDT and refuse Wine's GDT slot.
 *
 * Build: gcc -m32 -shared -fPIC -O2 -fno-stack-protector -o libkestar-emulation.so
 *        kestar-emulation.c -ldl -lpthread
 */
#define _GNU_SOURCE
#include <asm/ldt.h>
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <ucontext.h>
#include <unistd.h>

#ifndef __i386__
#error "kestar-emulation.c is for 32-bit x86 programs only"
#endif

#ifndef MAP_FIXED_NOREPLACE
#define MAP_FIXED_NOREPLACE 0x100000
#endif

#define EXPORT __attribute__((visibility("default")))

typedef long (*syscall_fn)(long, ...);
typedef void *(*mmap64_fn)(void *, size_t, int, int, int, off64_t);
typedef int (*sigaction_fn)(int, const struct sigaction *, struct sigaction *);
typedef int (*pthread_create_fn)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);

static syscall_fn real_syscall;
static mmap64_fn real_mmap64;
static sigaction_fn real_sigaction;
static pthread_create_fn real_pthread_create;

static void fatal(const char *what)
{
    char line[200];
    int n = snprintf(line, sizeof line, "kestar-emulation: %s\n", what);
    if (n > 0) write(2, line, (size_t)n);
    abort();
}

static void *next_symbol(const char *name)
{
    void *f = dlsym(RTLD_NEXT, name);
    if (!f) fatal("a C-library function is missing");
    return f;
}

static void resolve(void)
{
    if (real_syscall) return;
    real_mmap64 = (mmap64_fn)next_symbol("mmap64");
    real_sigaction = (sigaction_fn)next_symbol("sigaction");
    real_pthread_create = (pthread_create_fn)next_symbol("pthread_create");
    __atomic_store_n(&real_syscall, (syscall_fn)next_symbol("syscall"), __ATOMIC_RELEASE);
}

/* ---- 1. MAP_FIXED_NOREPLACE --------------------------------------------------- */

static void *map_exactly_or_not(void *addr, size_t len, int prot, int flags, int fd, off64_t off)
{
    resolve();
    if (!(flags & MAP_FIXED_NOREPLACE)) return real_mmap64(addr, len, prot, flags, fd, off);
    if ((uintptr_t)addr & (uintptr_t)(sysconf(_SC_PAGESIZE) - 1)) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    /* As for the kernel, MAP_FIXED beside it changes nothing: nothing is replaced.
     * The emulator honours the address as a hint when the whole range is free. */
    void *got = real_mmap64(addr, len, prot, flags & ~(MAP_FIXED_NOREPLACE | MAP_FIXED), fd, off);
    if (got == MAP_FAILED || got == addr) return got;
    munmap(got, len);
    errno = EEXIST;
    return MAP_FAILED;
}

EXPORT void *mmap64(void *addr, size_t len, int prot, int flags, int fd, off64_t off)
{
    return map_exactly_or_not(addr, len, prot, flags, fd, off);
}

EXPORT void *mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off)
{
    return map_exactly_or_not(addr, len, prot, flags, fd, (off64_t)off);
}

/* ---- 2. trapno and error code in signal frames -------------------------------- */

enum {
    TRAP_DIVIDE = 0, TRAP_SINGLE_STEP = 1, TRAP_BREAKPOINT = 3, TRAP_INVALID_OPCODE = 6,
    TRAP_PROTECTION = 13, TRAP_PAGE_FAULT = 14, TRAP_X87 = 16, TRAP_ALIGNMENT = 17
};
enum { ERR_PRESENT = 1, ERR_USER = 4, ERR_FETCH = 16 };

typedef void (*info_handler)(int, siginfo_t *, void *);
static info_handler wrapped[NSIG];

static int mended_signal(int sig)
{
    return sig == SIGSEGV || sig == SIGBUS || sig == SIGILL || sig == SIGTRAP || sig == SIGFPE;
}

/* Rebuilds what the processor would have reported, from what the emulator does
 * report correctly: the signal, its si_code and the fault address. */
static void mend_frame(int sig, const siginfo_t *info, ucontext_t *uc)
{
    greg_t *regs = uc->uc_mcontext.gregs;
    if (regs[REG_TRAPNO] != -1 || info->si_code <= 0) return;  /* sent, not a trap */
    int trap;
    switch (sig) {
    case SIGSEGV:
        if (info->si_code == SI_KERNEL) {
            trap = TRAP_PROTECTION;  /* privileged instruction, int n; err is right */
        } else {
            trap = TRAP_PAGE_FAULT;
            regs[REG_ERR] |= ERR_USER;
            if ((uintptr_t)info->si_addr == (uintptr_t)regs[REG_EIP]) regs[REG_ERR] |= ERR_FETCH;
        }
        break;
    case SIGBUS:
        trap = info->si_code == BUS_ADRALN ? TRAP_ALIGNMENT : TRAP_PAGE_FAULT;
        break;
    case SIGILL:
        trap = TRAP_INVALID_OPCODE;
        break;
    case SIGTRAP:
        /* int3 arrives as SI_KERNEL; the emulator reports a single step as TRAP_BRKPT. */
        trap = info->si_code == SI_KERNEL ? TRAP_BREAKPOINT : TRAP_SINGLE_STEP;
        break;
    case SIGFPE:
        trap = info->si_code == FPE_INTDIV || info->si_code == FPE_INTOVF ? TRAP_DIVIDE : TRAP_X87;
        break;
    default:
        return;
    }
    regs[REG_TRAPNO] = trap;
}

/* Runs on whatever stack and segment registers the signal arrived with (Wine's
 * Windows side included): no stack protector, no errno, nothing but the frame. */
static void trampoline(int sig, siginfo_t *info, void *context)
{
    info_handler handler = __atomic_load_n(&wrapped[sig], __ATOMIC_ACQUIRE);
    mend_frame(sig, info, context);
    if (handler) handler(sig, info, context);
}

EXPORT int sigaction(int sig, const struct sigaction *act, struct sigaction *old)
{
    resolve();
    if (sig <= 0 || sig >= NSIG || !mended_signal(sig)) return real_sigaction(sig, act, old);

    struct sigaction installed;
    const struct sigaction *pass = act;
    if (act && (act->sa_flags & SA_SIGINFO) && act->sa_handler != SIG_DFL && act->sa_handler != SIG_IGN) {
        installed = *act;
        installed.sa_sigaction = trampoline;
        pass = &installed;
    }
    info_handler before = __atomic_load_n(&wrapped[sig], __ATOMIC_ACQUIRE);
    if (pass == &installed) __atomic_store_n(&wrapped[sig], act->sa_sigaction, __ATOMIC_RELEASE);
    int rc = real_sigaction(sig, pass, old);
    if (rc != 0) {
        __atomic_store_n(&wrapped[sig], before, __ATOMIC_RELEASE);
        return rc;
    }
    if (old && (old->sa_flags & SA_SIGINFO) && old->sa_sigaction == trampoline) old->sa_sigaction = before;
    /* A plain handler or SIG_DFL/SIG_IGN now stands: the trampoline is gone. */
    if (act && pass != &installed) __atomic_store_n(&wrapped[sig], NULL, __ATOMIC_RELEASE);
    return rc;
}

/* ---- 3. a %gs selector of its own for every thread ---------------------------- */

/* LDT entries 1..511 carry the threads' %gs; Wine keeps its TEB selectors from 512
 * on when it finds %gs in the LDT. An entry is free again once its thread is gone. */
#define FIRST_ENTRY 1
#define ENTRY_COUNT 511
static pid_t entry_tid[FIRST_ENTRY + ENTRY_COUNT];  /* 0 free, -1 reserved for a new thread */
static pthread_mutex_t create_lock = PTHREAD_MUTEX_INITIALIZER;
static unsigned glibc_gs;  /* the GDT selector the C library set up for the first thread */

static pid_t current_tid(void)
{
    return (pid_t)real_syscall(SYS_gettid);
}

static int thread_alive(pid_t tid)
{
    if (tid == -1) return 1;
    if (tid == 0) return 0;
    return real_syscall(SYS_tgkill, (long)getpid(), (long)tid, 0L) == 0 || errno != ESRCH;
}

/* Called with create_lock held (or before any second thread exists). */
static int reserve_entry(void)
{
    for (int i = FIRST_ENTRY; i < FIRST_ENTRY + ENTRY_COUNT; i++) {
        if (!thread_alive(entry_tid[i])) {
            entry_tid[i] = -1;
            return i;
        }
    }
    return -1;
}

static unsigned read_gs(void)
{
    unsigned gs;
    __asm__ volatile("movl %%gs, %0" : "=r"(gs));
    return gs & 0xffff;
}

static void load_gs(unsigned selector)
{
    __asm__ volatile("movl %0, %%gs" : : "r"(selector) : "memory");
}

/* The thread pointer: the C library's thread control block starts with itself. */
static uintptr_t thread_pointer(void)
{
    uintptr_t tp;
    __asm__ volatile("movl %%gs:0, %0" : "=r"(tp));
    return tp;
}

static void fill_tls_descriptor(struct user_desc *d, unsigned entry, uintptr_t base)
{
    memset(d, 0, sizeof *d);
    d->entry_number = entry;
    d->base_addr = (unsigned)base;
    d->limit = 0xfffff;
    d->seg_32bit = 1;
    d->limit_in_pages = 1;
    d->useable = 1;
}

/* Moves the calling thread's %gs to LDT entry `entry`, keeping its thread pointer. */
static void move_gs_to_ldt(int entry)
{
    struct user_desc d;
    fill_tls_descriptor(&d, (unsigned)entry, thread_pointer());
    if (real_syscall(SYS_modify_ldt, 1L, &d, (long)sizeof d) != 0) fatal("modify_ldt failed");
    load_gs(((unsigned)entry << 3) | 7);
    entry_tid[entry] = current_tid();
}

struct thread_start {
    void *(*routine)(void *);
    void *arg;
    int entry;
    sigset_t mask;
    sem_t moved;
};

static void *start_thread(void *p)
{
    struct thread_start *start = p;
    void *(*routine)(void *) = start->routine;
    void *arg = start->arg;
    sigset_t mask = start->mask;
    move_gs_to_ldt(start->entry);
    sem_post(&start->moved);  /* from here on `start` belongs to the creator again */
    pthread_sigmask(SIG_SETMASK, &mask, NULL);
    return routine(arg);
}

EXPORT int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*routine)(void *), void *arg)
{
    resolve();
    struct thread_start start = {.routine = routine, .arg = arg, .entry = -1};
    sigset_t all;
    sigfillset(&all);
    /* No signal may arrive, and be returned from, while %gs points at the shared GDT
     * slot; the new thread starts with all signals blocked and restores the mask. */
    pthread_sigmask(SIG_SETMASK, &all, &start.mask);
    pthread_mutex_lock(&create_lock);
    unsigned own_gs = read_gs();
    start.entry = reserve_entry();
    if (start.entry < 0) {
        pthread_mutex_unlock(&create_lock);
        pthread_sigmask(SIG_SETMASK, &start.mask, NULL);
        return EAGAIN;
    }
    sem_init(&start.moved, 0, 0);

    /* The C library gives the new thread the TLS slot %gs names, and the emulator
     * writes the new thread's descriptor there: point the slot at this thread first,
     * so it stays right for this thread until %gs is back in the LDT. */
    struct user_desc slot;
    fill_tls_descriptor(&slot, glibc_gs >> 3, thread_pointer());
    if (real_syscall(SYS_set_thread_area, &slot) != 0) fatal("set_thread_area failed");
    load_gs(glibc_gs);
    int rc = real_pthread_create(thread, attr, start_thread, &start);
    load_gs(own_gs);

    if (rc == 0) {
        while (sem_wait(&start.moved) != 0) {
        }
    } else {
        entry_tid[start.entry] = 0;
    }
    sem_destroy(&start.moved);
    pthread_mutex_unlock(&create_lock);
    pthread_sigmask(SIG_SETMASK, &start.mask, NULL);
    return rc;
}

EXPORT long syscall(long number, ...)
{
    va_list ap;
    va_start(ap, number);
    long a[6];
    for (int i = 0; i < 6; i++) a[i] = va_arg(ap, long);
    va_end(ap);
    resolve();
    if (number == SYS_set_thread_area) {
        const struct user_desc *d = (const struct user_desc *)a[0];
        if (d && d->entry_number == (unsigned)-1) {
            errno = ESRCH;  /* what the kernel says when no slot is free */
            return -1;
        }
    }
    return real_syscall(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

/* A forked child has only the forking thread, under a new thread id. */
static void after_fork_in_child(void)
{
    unsigned gs = read_gs();
    if ((gs & 7) == 7 && (gs >> 3) >= FIRST_ENTRY && (gs >> 3) < FIRST_ENTRY + ENTRY_COUNT)
        entry_tid[gs >> 3] = current_tid();
}

__attribute__((constructor)) static void start_up(void)
{
    resolve();
    glibc_gs = read_gs();
    if ((glibc_gs & 4) != 0) fatal("%gs is not a GDT selector at start-up");
    int entry = reserve_entry();
    if (entry < 0) fatal("no LDT entry for the first thread");
    move_gs_to_ldt(entry);
    pthread_atfork(NULL, NULL, after_fork_in_child);
}
