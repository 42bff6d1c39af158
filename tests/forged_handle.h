/* Handles as another process could make them: copies of a handle whose words the maker then
   spoils, and handles of any counts. Shared by the suites and the client program. */
#ifndef TESTS_FORGED_HANDLE_H
#define TESTS_FORGED_HANDLE_H

#include <cutils/native_handle.h>
#include <unistd.h>

#include <vector>

#include "hal_public.h"

static inline VEK_native_handle_t *AsVek(buffer_handle_t h) {
    return reinterpret_cast<VEK_native_handle_t *>(const_cast<native_handle_t *>(h));
}

/* A buffer handle as another process would rebuild it: same ints, its own header memory. */
static inline native_handle_t *CopyHandle(buffer_handle_t h) {
    native_handle_t *psCopy = native_handle_create(h->numFds, h->numInts);
    for (int i = 0; i < h->numFds + h->numInts; i++) psCopy->data[i] = h->data[i];
    return psCopy;
}

/* Owns the forged handles (and any descriptor in them) for the length of a test. */
class Forgery {
public:
    Forgery() = default;
    Forgery(const Forgery &) = delete;
    Forgery &operator=(const Forgery &) = delete;
    ~Forgery() {
        /* A forged version would make native_handle_delete refuse the handle. */
        for (native_handle_t *ps : apsHandles) {
            ps->version = sizeof(native_handle_t);
            native_handle_delete(ps);
        }
        for (int iFd : aiFds) close(iFd);
    }

    /* A well-formed copy of h whose words the caller then spoils. */
    VEK_native_handle_t *Copy(buffer_handle_t h) {
        native_handle_t *ps = CopyHandle(h);
        apsHandles.push_back(ps);
        return AsVek(ps);
    }
    native_handle_t *Raw(int iFds, int iInts) {
        native_handle_t *ps = native_handle_create(iFds, iInts);
        for (int i = 0; i < iFds + iInts; i++) ps->data[i] = 0;
        apsHandles.push_back(ps);
        return ps;
    }
    int Own(int iFd) {
        aiFds.push_back(iFd);
        return iFd;
    }

private:
    std::vector<native_handle_t *> apsHandles;
    std::vector<int> aiFds;
};

#endif
