/* The receiving side of a buffer: a process of its own that gets a handle over a socket,
   registers it, reads the allocator's pixels, writes its own, and lets it go as Android does.
   Usage: client_process SOCKET-FD. Prints one line of findings; exit status 0 when all held. */
#include <hardware/gralloc.h>
#include <stdio.h>
#include <stdlib.h>

#include "hal.h"
#include "handle_transport.h"
#include "zolsim/control.h"

static int Fail(const char *pszWhat, int iErr) {
    printf("FAILED %s: %d\n", pszWhat, iErr);
    return 1;
}

int main(int argc, char **argv) {
    if (argc != 2) return Fail("usage", 0);
    /* The allocator's simulated GPU ends the lock's waits, seen through the shared counters: 50
       waits of a second each do not run out before it finishes, however late the allocator's
       machine runs it. */
    zolsim_set_wait_timeout_ms(1000);

    BufferDescription sDescription;
    native_handle_t *psHandle = ReceiveBufferHandle(atoi(argv[1]), &sDescription);
    if (psHandle == nullptr) return Fail("receive", 0);

    const hw_module_t *psModule = nullptr;
    int iErr = hw_get_module(GRALLOC_HARDWARE_MODULE_ID, &psModule);
    if (iErr != 0) return Fail("hw_get_module", iErr);
    const gralloc_module_t *psGralloc = reinterpret_cast<const gralloc_module_t *>(psModule);
    const VEK_native_handle_t *psVek = reinterpret_cast<const VEK_native_handle_t *>(psHandle);

    if ((iErr = psGralloc->registerBuffer(psGralloc, psHandle)) != 0) return Fail("registerBuffer", iErr);
    const ZOLSRV_CLIENT_MEM_INFO *psMem = zolsim_meminfo_by_stamp(psVek->ui64Stamp);
    if (psMem == nullptr) return Fail("mapping with the handle's stamp", 0);

    void *apv[3] = {nullptr, nullptr, nullptr};
    iErr = psGralloc->lock(psGralloc, psHandle, GRALLOC_USAGE_SW_READ_OFTEN | GRALLOC_USAGE_SW_WRITE_OFTEN, 0, 0,
                           sDescription.iWidth, sDescription.iHeight, apv);
    if (iErr != 0) return Fail("lock", iErr);
    const ZOLSRV_SYNC_DATA *psSync = psMem->psClientSyncInfo->psSyncData;
    int bGpuDone = psSync->ui32ReadOpsComplete >= psSync->ui32ReadOpsPending;

    /* The allocator wrote each row's index into its pixels; answer with the complement. */
    unsigned *pui = static_cast<unsigned *>(apv[0]);
    int iMismatches = 0;
    for (int y = 0; y < sDescription.iHeight; y++)
        for (int x = 0; x < sDescription.iWidth; x++) {
            unsigned *puiPixel = &pui[y * sDescription.iStride + x];
            if (*puiPixel != (unsigned)(y * 65536 + x)) iMismatches++;
            *puiPixel = ~(unsigned)(y * 65536 + x);
        }
    if ((iErr = psGralloc->unlock(psGralloc, psHandle)) != 0) return Fail("unlock", iErr);
    if ((iErr = psGralloc->unregisterBuffer(psGralloc, psHandle)) != 0) return Fail("unregisterBuffer", iErr);
    native_handle_close(psHandle);
    native_handle_delete(psHandle);

    printf("mismatches=%d gpu_done=%d stalls=%u mappings=%u\n", iMismatches, bGpuDone, zolsim_stall_reports(),
           zolsim_live_mappings());
    /* Calls the real libraries would refuse fail the run like wrong pixels. */
    if (zolsim_misuse_count() != 0) fprintf(stderr, "%s", zolsim_misuse_text());
    return iMismatches == 0 && bGpuDone && zolsim_misuse_count() == 0 ? 0 : 1;
}
