/* A process that uses buffers another process allocated: the module's client slots, a foreign
   allocator for the buffers, and the allocator device for buffers of its own. */
#ifndef TESTS_CLIENT_FIXTURE_H
#define TESTS_CLIENT_FIXTURE_H

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "foreign_buffer.h"
#include "module_fixture.h"

class ClientFixture : public ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        psGralloc = &psHMI->base.base;
        psForeign.reset(new ForeignAllocator());
    }
    void TearDown() override {
        psForeign.reset();
        if (psAlloc != nullptr) gralloc_close(psAlloc);
    }

    int Register(buffer_handle_t h) { return psGralloc->registerBuffer(psGralloc, h); }
    int Unregister(buffer_handle_t h) { return psGralloc->unregisterBuffer(psGralloc, h); }
    int Lock(buffer_handle_t h, int usage, void **vaddr) {
        return psGralloc->lock(psGralloc, h, usage, 0, 0, AsVek(h)->iWidth, AsVek(h)->iHeight, vaddr);
    }
    int LockRect(buffer_handle_t h, int l, int t, int w, int hh) {
        void *apv[3];
        return psGralloc->lock(psGralloc, h, GRALLOC_USAGE_SW_READ_OFTEN, l, t, w, hh, apv);
    }
    int Unlock(buffer_handle_t h) { return psGralloc->unlock(psGralloc, h); }
    int Map(buffer_handle_t h, int usage, ZOLSRV_CLIENT_MEM_INFO **aps) {
        return psHMI->map(psGralloc, AsVek(h)->ui64Stamp, usage, aps);
    }
    int Unmap(buffer_handle_t h) { return psHMI->unmap(psGralloc, AsVek(h)->ui64Stamp); }

    buffer_handle_t Own(int usage, int format = HAL_PIXEL_FORMAT_BGRA_8888) {
        if (psAlloc == nullptr) psAlloc = OpenAlloc();
        buffer_handle_t h = nullptr;
        int iStride = 0;
        EXPECT_EQ(0, psAlloc->alloc(psAlloc, 64, 32, format, usage, &h, &iStride));
        return h;
    }

    VEK_mapper_meminfo_t *Entry(buffer_handle_t h) {
        ZOLSRVLockMutex(Private()->hMutex);
        VEK_mapper_meminfo_t *psFound = nullptr;
        for (VEK_mapper_meminfo_t *ps = Private()->psMapList; ps != nullptr; ps = ps->psNext)
            if (ps->ui64Stamp == AsVek(h)->ui64Stamp) psFound = ps;
        ZOLSRVUnlockMutex(Private()->hMutex);
        return psFound;
    }

    const gralloc_module_t *psGralloc = nullptr;
    std::unique_ptr<ForeignAllocator> psForeign;
    alloc_device_t *psAlloc = nullptr;
};

#endif
