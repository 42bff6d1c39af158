/* Helpers the allocator, lock and blit sources share; private to the module. */
#ifndef GRALLOC_INTERNAL_H
#define GRALLOC_INTERNAL_H

#include <stddef.h>

#include "gralloc.h"
#include "hal.h"

static inline VEK_native_handle_t *AsNativeHandle(buffer_handle_t handle) {
    return reinterpret_cast<VEK_native_handle_t *>(const_cast<native_handle_t *>(handle));
}

/* The allocator lays a buffer's rows out in whole runs of 32 pixels. */
static inline int AllocatorStridePixels(int iWidth) { return (int)(((unsigned int)iWidth + 31u) & ~31u); }

static inline VEK_gralloc_module_t *ModuleOfPrivateData(VEK_private_data_t *psPrivateData) {
    return reinterpret_cast<VEK_gralloc_module_t *>(reinterpret_cast<char *>(psPrivateData) -
                                                    offsetof(VEK_gralloc_module_t, sPrivateData));
}

/* Whether a buffer's handle describes no more of plane 0 than psPlane0, the memory behind it,
   holds: its rows as laid out (a display buffer's are the display's) times its height, in 64
   bits. A blit or a lock that hands out addresses must not reach past what is there. Called with
   the module mutex held. */
VEK_BOOL HandleFitsPlane0(VEK_private_data_t *psPrivateData, const VEK_native_handle_t *psNativeHandle,
                          const ZOLSRV_CLIENT_MEM_INFO *psPlane0);

#endif
