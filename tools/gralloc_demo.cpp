/* Loads the module as Android does, opens both devices, describes the display and the formats,
   allocates buffers and display buffers, and prints the allocator's dump. */
#include <hardware/fb.h>
#include <hardware/gralloc.h>
#include <stdio.h>
#include <string.h>

#include "hal.h"
#include "zolsim/control.h"

static int Fail(const char *pszWhat, int iErr) {
    fprintf(stderr, "gralloc_demo: %s failed: %d (%s)\n", pszWhat, iErr, strerror(iErr < 0 ? -iErr : iErr));
    return 1;
}

int main() {
    const hw_module_t *psModule = nullptr;
    int iErr = hw_get_module(GRALLOC_HARDWARE_MODULE_ID, &psModule);
    if (iErr != 0) return Fail("hw_get_module(\"gralloc\")", iErr);
    const VEK_gralloc_module_t *psHMI = reinterpret_cast<const VEK_gralloc_module_t *>(psModule);
    printf("module: %s by %s, id \"%s\", version %u.%u\n", psModule->name, psModule->author, psModule->id,
           psModule->version_major, psModule->version_minor);

    framebuffer_device_t *psFb = nullptr;
    alloc_device_t *psAlloc = nullptr;
    if ((iErr = framebuffer_open(psModule, &psFb)) != 0) return Fail("framebuffer_open", iErr);
    if ((iErr = gralloc_open(psModule, &psAlloc)) != 0) return Fail("gralloc_open", iErr);

    printf("display: %u x %u, format %d, stride %d pixels, %.2f x %.2f dpi, %.3f fps, swap interval %d..%d\n",
           psFb->width, psFb->height, psFb->format, psFb->stride, psFb->xdpi, psFb->ydpi, psFb->fps,
           psFb->minSwapInterval, psFb->maxSwapInterval);
    printf("formats:\n");
    for (const VEK_buffer_format_public_t *ps = psHMI->GetBufferFormats(); ps != nullptr; ps = ps->psNext)
        printf("  %-10s HAL 0x%08x  %2u bpp  %s\n", ps->szName, (unsigned)ps->iHalPixelFormat, ps->uiBpp,
               ps->bGPURenderable ? "GPU-renderable" : "");

    /* Two display buffers, as Android's framebuffer window takes them. */
    buffer_handle_t ahDisplay[2] = {nullptr, nullptr};
    for (buffer_handle_t &h : ahDisplay) {
        int iStride = 0;
        if ((iErr = psAlloc->alloc(psAlloc, psFb->width, psFb->height, psFb->format, GRALLOC_USAGE_HW_FB, &h,
                                   &iStride)) != 0)
            return Fail("display buffer alloc", iErr);
        printf("display buffer: handle %p, stride %d\n", static_cast<const void *>(h), iStride);
    }

    struct {
        int w, h, format, usage;
    } asRequests[] = {
        {640, 480, HAL_PIXEL_FORMAT_RGB_565, GRALLOC_USAGE_SW_WRITE_OFTEN | GRALLOC_USAGE_HW_TEXTURE},
        {256, 256, HAL_PIXEL_FORMAT_BGRA_8888, GRALLOC_USAGE_HW_RENDER | GRALLOC_USAGE_HW_TEXTURE},
        {320, 240, HAL_PIXEL_FORMAT_YV12, GRALLOC_USAGE_SW_READ_OFTEN | GRALLOC_USAGE_SW_WRITE_OFTEN},
    };
    buffer_handle_t ahBuffers[3];
    for (int i = 0; i < 3; i++) {
        int iStride = 0;
        if ((iErr = psAlloc->alloc(psAlloc, asRequests[i].w, asRequests[i].h, asRequests[i].format, asRequests[i].usage,
                                   &ahBuffers[i], &iStride)) != 0)
            return Fail("alloc", iErr);
        const VEK_native_handle_t *ps = reinterpret_cast<const VEK_native_handle_t *>(ahBuffers[i]);
        printf("buffer: %d x %d format 0x%x usage 0x%x -> stride %d, fd %d, stamp %llu\n", asRequests[i].w,
               asRequests[i].h, (unsigned)asRequests[i].format, (unsigned)asRequests[i].usage, iStride, ps->fd[0],
               (unsigned long long)ps->ui64Stamp);
    }

    char szDump[4096];
    psAlloc->dump(psAlloc, szDump, sizeof(szDump));
    printf("%s", szDump);

    /* Android's order: buffers first, then the devices. */
    for (buffer_handle_t h : ahBuffers)
        if ((iErr = psAlloc->free(psAlloc, h)) != 0) return Fail("free", iErr);
    for (buffer_handle_t h : ahDisplay)
        if ((iErr = psAlloc->free(psAlloc, h)) != 0) return Fail("display buffer free", iErr);
    if ((iErr = gralloc_close(psAlloc)) != 0) return Fail("gralloc_close", iErr);
    if ((iErr = framebuffer_close(psFb)) != 0) return Fail("framebuffer_close", iErr);

    unsigned uiLive =
        zolsim_live_allocations() + zolsim_live_mappings() + zolsim_live_exported_fds() + zolsim_live_flipchains();
    printf("still live on the device: %u allocations, %u mappings, %u exported descriptors, %u flip chains\n",
           zolsim_live_allocations(), zolsim_live_mappings(), zolsim_live_exported_fds(), zolsim_live_flipchains());
    return uiLive == 0 ? 0 : 1;
}
