// What the simulated device hides from ThreadSanitizer: its own records and the work of its
// hardware (the GPU's counters, the 2D engine's pixels, scan-out), which the device does behind the
// CPU's back and which must order none of the module's threads.
#ifndef ZOLSIM_TSAN_HIDE_H
#define ZOLSIM_TSAN_HIDE_H

#if defined(__SANITIZE_THREAD__)
#define ZOLSIM_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ZOLSIM_TSAN 1
#endif
#endif

#ifdef ZOLSIM_TSAN
extern "C" void AnnotateIgnoreSyncBegin(const char *f, int l);
extern "C" void AnnotateIgnoreSyncEnd(const char *f, int l);
extern "C" void AnnotateIgnoreReadsBegin(const char *f, int l);
extern "C" void AnnotateIgnoreReadsEnd(const char *f, int l);
extern "C" void AnnotateIgnoreWritesBegin(const char *f, int l);
extern "C" void AnnotateIgnoreWritesEnd(const char *f, int l);
#define ZOLSIM_TSAN_HIDE_BEGIN()                       \
    do {                                               \
        AnnotateIgnoreSyncBegin(__FILE__, __LINE__);   \
        AnnotateIgnoreReadsBegin(__FILE__, __LINE__);  \
        AnnotateIgnoreWritesBegin(__FILE__, __LINE__); \
    } while (0)
#define ZOLSIM_TSAN_HIDE_END()                       \
    do {                                             \
        AnnotateIgnoreWritesEnd(__FILE__, __LINE__); \
        AnnotateIgnoreReadsEnd(__FILE__, __LINE__);  \
        AnnotateIgnoreSyncEnd(__FILE__, __LINE__);   \
    } while (0)
// The simulated GPU writes the sync counters the way the device's GPU does: behind the CPU's
// back. The module reads them without a lock, as it must on the device, so these writes are
// hidden from the race detector.
#define GPU_WRITES_BEGIN() AnnotateIgnoreWritesBegin(__FILE__, __LINE__)
#define GPU_WRITES_END() AnnotateIgnoreWritesEnd(__FILE__, __LINE__)
#else
#define ZOLSIM_TSAN_HIDE_BEGIN() ((void)0)
#define ZOLSIM_TSAN_HIDE_END() ((void)0)
#define GPU_WRITES_BEGIN() ((void)0)
#define GPU_WRITES_END() ((void)0)
#endif

#ifdef __cplusplus
#include <pthread.h>

namespace zolsim {

// A lock of the device's own (its records, tables and queues): taken and held hidden from the race
// detector, with everything done under it, so that it orders none of the threads that call the
// device.
class HiddenGuard {
public:
    explicit HiddenGuard(pthread_mutex_t &m) : m_(m) {
        ZOLSIM_TSAN_HIDE_BEGIN();
        pthread_mutex_lock(&m_);
    }
    ~HiddenGuard() {
        pthread_mutex_unlock(&m_);
        ZOLSIM_TSAN_HIDE_END();
    }
    HiddenGuard(const HiddenGuard &) = delete;
    HiddenGuard &operator=(const HiddenGuard &) = delete;

private:
    pthread_mutex_t &m_;
};

}  // namespace zolsim
#endif

#endif
