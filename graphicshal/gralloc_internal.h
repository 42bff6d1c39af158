/* Helpers the allocator, lock and blit sources share; private to the module. */
#ifndef GRALLOC_INTERNAL_H
#define GRALLOC_INTERNAL_H

#include <stddef.h>

#include "gralloc.h"
#include "gralloc_defer.h"
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

/* One plane of a buffer as a format lays it out: width and height in pixels, row length and size
   in bytes. */
typedef struct {
    int iWidth, iHeight, iStride;
    VEK_UINT64 ui64Bytes;
} VEK_plane_geometry_t;

/* Plane uiPlane of a buffer of the format and size, laid out in rows of ui64StridePixels, as the
   format's geometry gives it, counted in 64 bits: VEK_FALSE when the format has no such plane or
   a value does not fit an int. */
/* True when the display takes a further chain of ulNumBuffers buffers of ulWidth x ulHeight in
   eFormat, with ui32ChainsHeld chains of the module on it already. The 2D library makes a chain only
   for what its display takes: a chain beyond that is a call it must refuse, and is not asked for. */
VEK_BOOL DisplayTakesChain(const ZOL2DDISPLAYINFO *psDisplayInfo, unsigned long ulNumBuffers, unsigned long ulWidth,
                           unsigned long ulHeight, ZOL2DFORMAT eFormat, VEK_UINT32 ui32ChainsHeld);

/* True when the 2D library reports no blit pending on the memory. Asked without waiting (flags 0),
   so that the release worker and fb0's close never wait for the engine while they hold the module
   mutex; a failed query counts as pending. */
VEK_BOOL NoBlitPending(VEK_private_data_t *psPrivateData, const ZOL2DMEMINFO *psMemInfo);

/* Frees each of the ui32Count 2D mem-infos still named, the last first, also after one the 2D
   library refuses; each freed slot becomes NULL. 0, or -EFAULT when one was refused. */
int Free2DMemories(VEK_private_data_t *psPrivateData, ZOL2DMEMINFO **apsMemInfo, VEK_UINT32 ui32Count);

/* Maps a descriptor of device memory into the general heap: 0, or -EFAULT with *ppsMemInfo NULL. */
int MapDeviceMemory(VEK_private_data_t *psPrivateData, int iFd, ZOLSRV_CLIENT_MEM_INFO **ppsMemInfo);

VEK_BOOL PlaneGeometry(const VEK_buffer_format_t *psFormat, unsigned int uiPlane, int iWidth, int iHeight,
                       VEK_UINT64 ui64StridePixels, VEK_plane_geometry_t *psGeometry);

/* Row length in pixels of a buffer as it was laid out: a display buffer has its display's stride,
   every other buffer the allocator's, its width rounded up to 32 pixels. psMapperMemInfo may be
   NULL for memory that is no buffer of this process. */
VEK_UINT64 BufferStridePixels(const VEK_mapper_meminfo_t *psMapperMemInfo, const VEK_native_handle_t *psNativeHandle);

/* The checks of a handle against what this process knows, all with the module mutex held. */

/* The handle names the buffer of the entry: the same format (and so the same planes), and a
   display buffer only by its own handle. */
VEK_BOOL HandleNamesEntry(const VEK_mapper_meminfo_t *psMapperMemInfo, const VEK_native_handle_t *psNativeHandle);
/* Every plane the entry has mapped holds the rows and bytes the handle describes for it. */
VEK_BOOL HandleFitsPlanes(const VEK_mapper_meminfo_t *psMapperMemInfo, const VEK_native_handle_t *psNativeHandle);
/* The handle holds the descriptors the entry was made or registered with. */
VEK_BOOL HandleHoldsDescriptors(const VEK_mapper_meminfo_t *psMapperMemInfo, const VEK_native_handle_t *psNativeHandle);
/* The handle's descriptors are the buffer's in this process: those the entry holds, or, for one
   of this process's own buffers, descriptors of the memory it has mapped. */
VEK_BOOL HandleNamesMemory(VEK_private_data_t *psPrivateData, const VEK_mapper_meminfo_t *psMapperMemInfo,
                           const VEK_native_handle_t *psNativeHandle);
/* The entry of the buffer a handle names, when the handle may be used for it in this process (it
   names the entry's buffer and its memory, and fits what is mapped of it) and SettlePendingRelease
   lets the caller go on; else NULL. */
VEK_mapper_meminfo_t *LookupHandleEntry(VEK_private_data_t *psPrivateData, const VEK_native_handle_t *psNativeHandle,
                                        VEK_entry_access_t eAccess);
/* After the handle's planes were mapped into the entry: the memory is the buffer whose stamp the
   handle carries, every plane is mapped, and each holds what the handle describes. */
VEK_BOOL MappingIsHandles(const VEK_mapper_meminfo_t *psMapperMemInfo, const VEK_native_handle_t *psNativeHandle);
/* Whether the handle's descriptors name the memory the entry has mapped already, plane by plane:
   each is mapped for the comparison and released again. 0; -EINVAL for other memory; -EFAULT
   when the services refuse the mapping or its release. */
int DescriptorsNameMapping(VEK_private_data_t *psPrivateData, const VEK_native_handle_t *psNativeHandle,
                           const VEK_mapper_meminfo_t *psMapperMemInfo);

#endif
