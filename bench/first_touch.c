/* first_touch: what this machine's kernel takes to fault in one new page, in
 * microseconds, a line for each of 9 rounds of 16 MB. A fresh response body
 * of a binding lands in such pages; bench/bindings-bench.sh prints the median
 * beside the bindings' rates, so that their long-body figures can be read
 * against it. */
#include <stdio.h>
#include <sys/mman.h>
#include <time.h>

int main(void) {
    enum { kRounds = 9, kPage = 4096 };
    const size_t size = 16u << 20;
    for (int r = 0; r < kRounds; ++r) {
        volatile char *p = mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return 1;
        struct timespec a, b;
        clock_gettime(CLOCK_MONOTONIC, &a);
        for (size_t i = 0; i < size; i += kPage) p[i] = 1;
        clock_gettime(CLOCK_MONOTONIC, &b);
        printf("%.2f\n",
               ((double)(b.tv_sec - a.tv_sec) * 1e9 + (double)(b.tv_nsec - a.tv_nsec)) / 1e3 / (double)(size / kPage));
        munmap((void *)p, size);
    }
    return 0;
}
