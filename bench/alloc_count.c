/* Preloaded into kelvor by the benchmark: counts heap allocations in a shared
 * file (KELVOR_ALLOC_COUNT) that the benchmark reads while kelvor runs. */
#include <fcntl.h>
#include <stddef.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

extern void* __libc_malloc(size_t);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);
extern void* __libc_memalign(size_t, size_t);

static volatile unsigned long* counter;

__attribute__((constructor)) static void open_counter(void) {
    const char* path = getenv("KELVOR_ALLOC_COUNT");
    int fd = path ? open(path, O_RDWR) : -1;
    if (fd >= 0) {
        void* p = mmap(NULL, sizeof *counter, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        counter = p == MAP_FAILED ? NULL : p;
        close(fd);
    }
}

static void count(void) {
    if (counter) {
        __atomic_add_fetch(counter, 1, __ATOMIC_RELAXED);
    }
}

void* malloc(size_t n) {
    count();
    return __libc_malloc(n);
}
void* calloc(size_t a, size_t b) {
    count();
    return __libc_calloc(a, b);
}
void* realloc(void* p, size_t n) {
    count();
    return __libc_realloc(p, n);
}
void* memalign(size_t a, size_t n) {
    count();
    return __libc_memalign(a, n);
}
void* aligned_alloc(size_t a, size_t n) {
    count();
    return __libc_memalign(a, n);
}
int posix_memalign(void** out, size_t a, size_t n) {
    count();
    *out = __libc_memalign(a, n);
    return *out ? 0 : 12; /* ENOMEM */
}
