/* Buffers that the module in this process did not allocate: memory made directly through the
   services, as another process's gralloc would have made it, and the handle that process would
   have sent. The module cannot tell them from buffers received over a socket. The suites make
   them in the test process; the client program makes them in a process of its own. */
#ifndef TESTS_FOREIGN_BUFFER_H
#define TESTS_FOREIGN_BUFFER_H

#include <cutils/native_handle.h>
#include <unistd.h>

#include <vector>

#include "hal_public.h"
#include "zolsrv.h"

/* A services call of the allocator failed. Each program that makes foreign buffers says what that
   means to it: the suites fail the running test, the client program its run. */
void ForeignAllocatorFailed(const char *pszCall, int iErr);

class ForeignAllocator {
public:
    static constexpr int kNV12 = 0x100;

    ForeignAllocator() {
        Expect(ZOLSRVConnect(&psConnection, 0), "ZOLSRVConnect");
        Expect(ZOLSRVAcquireDeviceData(psConnection, 0, &sDevData, ZOLSRV_DEVICE_TYPE_UNKNOWN),
               "ZOLSRVAcquireDeviceData");
        ZOLSRV_HEAP_INFO asHeaps[ZOLSRV_MAX_CLIENT_HEAPS];
        VEK_UINT32 ui32Heaps = 0;
        Expect(ZOLSRVCreateDeviceMemContext(&sDevData, &hContext, &ui32Heaps, asHeaps), "ZOLSRVCreateDeviceMemContext");
        for (VEK_UINT32 i = 0; i < ui32Heaps && hHeap == nullptr; i++)
            if ((asHeaps[i].ui32HeapID & 0x00ffffff) == 0) hHeap = asHeaps[i].hDevMemHeap;
    }
    ~ForeignAllocator() {
        for (ZOLSRV_CLIENT_MEM_INFO *ps : apsMem) ZOLSRVFreeDeviceMem(&sDevData, ps);
        for (native_handle_t *ps : apsHandles) {
            native_handle_close(ps);
            native_handle_delete(ps);
        }
        ZOLSRVDestroyDeviceMemContext(&sDevData, hContext);
        ZOLSRVDisconnect(psConnection);
    }
    ForeignAllocator(const ForeignAllocator &) = delete;
    ForeignAllocator &operator=(const ForeignAllocator &) = delete;

    /* A buffer with the given usage in its handle: BGRA 8888 of one plane, or the two-plane video
       format (NV12, 0x100) with iPlanes 2. Each plane is w x h x 4 bytes, more than either
       format's rows take, so that w and h may be any multiple of 16. */
    buffer_handle_t Make(int usage, int w = 64, int h = 32, int iPlanes = 1) {
        const VEK_SIZE_T uBytes = (VEK_SIZE_T)(w * h * 4);
        return MakeAs(usage, w, h, iPlanes == 2 ? kNV12 : HAL_PIXEL_FORMAT_BGRA_8888,
                      std::vector<VEK_SIZE_T>((size_t)iPlanes, uBytes));
    }

    /* A buffer whose handle says what the caller likes: a plane of each size given, the format
       and the size as told (bits per pixel those of the format). */
    buffer_handle_t MakeAs(int usage, int w, int h, int iFormat, const std::vector<VEK_SIZE_T> &auPlaneBytes) {
        const int iPlanes = (int)auPlaneBytes.size();
        native_handle_t *psBase = native_handle_create(iPlanes, 10 - iPlanes);
        VEK_native_handle_t *ps = reinterpret_cast<VEK_native_handle_t *>(psBase);
        for (int i = 0; i < 3; i++) ps->fd[i] = -1;
        for (int i = 0; i < iPlanes; i++) {
            ZOLSRV_CLIENT_MEM_INFO *psMem = nullptr;
            if (!Expect(ZOLSRVAllocDeviceMem2(&sDevData, hHeap, 0x10001003, auPlaneBytes[(size_t)i], 4096, nullptr, 0,
                                              &psMem),
                        "ZOLSRVAllocDeviceMem2"))
                break;
            apsMem.push_back(psMem);
            Expect(ZOLSRVExportDeviceMem2(&sDevData, psMem, &ps->fd[i]), "ZOLSRVExportDeviceMem2");
            if (i == 0) ps->ui64Stamp = psMem->ui64Stamp;
            apsPlanes.push_back(psMem);
        }
        ps->usage = usage;
        ps->iWidth = w;
        ps->iHeight = h;
        ps->iFormat = iFormat;
        ps->uiBpp = iFormat == kNV12 || iFormat == HAL_PIXEL_FORMAT_YV12 ? 12
                    : iFormat == HAL_PIXEL_FORMAT_RGB_565                ? 16
                                                                         : 32;
        apsHandles.push_back(psBase);
        return psBase;
    }

    /* The allocating side's own description of plane iPlane of the nth buffer made. */
    ZOLSRV_CLIENT_MEM_INFO *Plane(size_t uIndex) { return apsPlanes[uIndex]; }

    bool Expect(ZOLSRV_ERROR eErr, const char *pszCall) {
        if (eErr != ZOLSRV_OK) ForeignAllocatorFailed(pszCall, (int)eErr);
        return eErr == ZOLSRV_OK;
    }

    ZOLSRV_CONNECTION *psConnection = nullptr;
    ZOLSRV_DEV_DATA sDevData = {};
    VEK_HANDLE hContext = nullptr;
    VEK_HANDLE hHeap = nullptr;
    std::vector<ZOLSRV_CLIENT_MEM_INFO *> apsMem, apsPlanes;
    std::vector<native_handle_t *> apsHandles;
};

#endif
