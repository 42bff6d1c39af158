// Device memory as the simulated GPU and display controller reach it. On the device the 2D engine
// writes a buffer and the display controller scans one out by DMA: when they meet in one buffer
// the screen may show a torn frame, but neither is a CPU thread, so there is no data race in the
// C++ sense. Here both run on the threads of the vendor calls, so their accesses are relaxed
// atomics: they tear as the hardware does, and they order nothing, so ThreadSanitizer still sees
// every race of the module's own state and of the CPU's plain reads and writes of a buffer.
#ifndef ZOLSIM_DEVICE_MEMORY_H
#define ZOLSIM_DEVICE_MEMORY_H

#include <stddef.h>
#include <stdint.h>

namespace zolsim {

inline unsigned char DeviceLoad8(const unsigned char *p) { return __atomic_load_n(p, __ATOMIC_RELAXED); }

inline void DeviceStore8(unsigned char *p, unsigned char v) { __atomic_store_n(p, v, __ATOMIC_RELAXED); }

// Scan-out: copies device memory into the screen, a machine word at a time where both are
// aligned (a word the CPU loads whole on either target, without a library call).
inline void DeviceMemoryRead(void *pvDst, const void *pvSrc, size_t uBytes) {
    unsigned char *pDst = static_cast<unsigned char *>(pvDst);
    const unsigned char *pSrc = static_cast<const unsigned char *>(pvSrc);
    size_t i = 0;
    if (((uintptr_t)pDst % sizeof(uintptr_t)) == 0 && ((uintptr_t)pSrc % sizeof(uintptr_t)) == 0) {
        for (; i + sizeof(uintptr_t) <= uBytes; i += sizeof(uintptr_t)) {
            const uintptr_t v = __atomic_load_n(reinterpret_cast<const uintptr_t *>(pSrc + i), __ATOMIC_RELAXED);
            __builtin_memcpy(pDst + i, &v, sizeof(v));
        }
    }
    for (; i < uBytes; i++) pDst[i] = DeviceLoad8(pSrc + i);
}

}  // namespace zolsim

#endif
