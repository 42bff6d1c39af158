/* Usage predicates and the allocator's shared helpers. */
#ifndef GRALLOC_H
#define GRALLOC_H

#include "hal_private.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The usage bits a handle or an allocation may carry: software read and write, texture,
   render, composer, framebuffer, external display, protected and PRIVATE_1. */
#define VEK_USAGE_UNSUPPORTED_MASK 0xdfff84cc
#define VEK_USAGE_SW_MASK 0x33
#define VEK_USAGE_READ_MASK 0x103
#define VEK_USAGE_WRITE_MASK 0x230
#define VEK_USAGE_FB_MASK 0x1000
/* GPU use of a buffer: texture, render or framebuffer. */
#define VEK_USAGE_HW_MASK 0x1300
/* Usage that needs the buffer mapped into this process: software access or GPU use. */
#define VEK_USAGE_MAPPED_MASK 0x1333

static inline int usage_unsupported(int usage) { return usage & (int)VEK_USAGE_UNSUPPORTED_MASK; }
static inline int usage_sw(int usage) { return usage & VEK_USAGE_SW_MASK; }
static inline int usage_read(int usage) { return usage & VEK_USAGE_READ_MASK; }
static inline int usage_write(int usage) { return usage & VEK_USAGE_WRITE_MASK; }
static inline int usage_fb(int usage) { return usage & VEK_USAGE_FB_MASK; }
static inline int usage_hw(int usage) { return usage & VEK_USAGE_HW_MASK; }
static inline int usage_mapped(int usage) { return usage & VEK_USAGE_MAPPED_MASK; }

/* One completion test: the counter must reach the pending value. */
typedef struct {
    volatile VEK_UINT32 *pui32OpsComplete;
    VEK_UINT32 ui32OpsPending;
} VEK_flush_ops_pair_t;

VEK_BOOL validate_handle(VEK_native_handle_t *psNativeHandle);

/* The allocator device's slots. */
int gralloc_device_alloc(alloc_device_t *psAllocDevice, int w, int h, int format, int usage, buffer_handle_t *handle,
                         int *stride);
int gralloc_device_free(alloc_device_t *dev, buffer_handle_t handle);
void gralloc_device_dump(alloc_device_t *dev, char *buff, int buff_len);
int gralloc_device_close(hw_device_t *device);

/* The module record's buffer-access slots. */
int gralloc_register_buffer(const gralloc_module_t *module, buffer_handle_t handle);
int gralloc_unregister_buffer(const gralloc_module_t *module, buffer_handle_t handle);
int gralloc_module_lock(const gralloc_module_t *module, buffer_handle_t handle, int usage, int l, int t, int w, int h,
                        void **vaddr);
int gralloc_module_unlock(const gralloc_module_t *module, buffer_handle_t handle);
int gralloc_module_map(const gralloc_module_t *module, VEK_UINT64 ui64Stamp, int usage,
                       ZOLSRV_CLIENT_MEM_INFO **apsMemInfo);
int gralloc_module_unmap(const gralloc_module_t *module, VEK_UINT64 ui64Stamp);
int gralloc_module_getphyaddrs(const VEK_gralloc_module_public_t *module, buffer_handle_t handle,
                               unsigned int *auiPhyAddr);
int gralloc_module_blit_to_vaddr(const VEK_gralloc_module_public_t *module, buffer_handle_t src, void **dest,
                                 int format);
int gralloc_module_blit_to_handle(const VEK_gralloc_module_public_t *module, buffer_handle_t src, buffer_handle_t dest,
                                  int w, int h, int x, int y);

/* The 2D library's format code of a pixel format, 255 when it has none. */
ZOL2DFORMAT HAL2ZOL2DPixelFormat(int format);

/* Plane mapping of a buffer made in another process; the release steps are flush-operation
   callbacks. All run with the module mutex held. */
int __map(VEK_private_data_t *psPrivateData, VEK_native_handle_t *psNativeHandle,
          VEK_mapper_meminfo_t *psMapperMemInfo);
int __unmap(VEK_private_data_t *psPrivateData, VEK_mapper_meminfo_t *psMapperMemInfo, int *aiFd);
int __unmap_remove(VEK_private_data_t *psPrivateData, VEK_mapper_meminfo_t *psMapperMemInfo, int *aiFd);

/* A use that hands the mapping out (a first lock, Post2) maps what a buffer made elsewhere lacks
   and checks it: 0; -EINVAL when the memory is not the buffer the handle names or does not hold
   what it describes; -EFAULT when the mapping fails or the list is inconsistent. What it mapped
   is released again on failure. */
int MapForUse(VEK_private_data_t *psPrivateData, VEK_native_handle_t *psNativeHandle,
              VEK_mapper_meminfo_t *psMapperMemInfo);
/* A buffer mapped only while in use gives its mapping back (__unmap, at once or queued) when its
   last use ends: the last unlock, the last unmap, the end of a Post2. Nothing while in use. */
int ReleaseUnusedMapping(VEK_private_data_t *psPrivateData, VEK_mapper_meminfo_t *psMapperMemInfo);

int __free(VEK_private_data_t *psPrivateData, VEK_mapper_meminfo_t *psMapperMemInfo, int *aiFd);

#ifdef __cplusplus
}
#endif

#endif
