/* The module record. */
#ifndef HAL_H
#define HAL_H

#include "hal_private.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct VEK_gralloc_module_t {
    VEK_gralloc_module_public_t base;
    int (*map)(const gralloc_module_t *module, VEK_UINT64 ui64Stamp, int usage, ZOLSRV_CLIENT_MEM_INFO **apsMemInfo);
    int (*unmap)(const gralloc_module_t *module, VEK_UINT64 ui64Stamp);
    void (*LogSyncs)(struct VEK_gralloc_module_t *psGrallocModule);
    const VEK_buffer_format_public_t *(*GetBufferFormats)(void);
    VEK_BOOL (*IsCompositor)(void);
    VEK_private_data_t sPrivateData;
} VEK_gralloc_module_t;

VEK_private_data_t *getModulePrivateData(const gralloc_module_t *psGrallocModule);
void putModulePrivateData(VEK_private_data_t *psPrivateData);
/* The module mutex itself, taken and given back until the services have done so. */
void LockModuleMutex(VEK_private_data_t *psPrivateData);
void UnlockModuleMutex(VEK_private_data_t *psPrivateData);

int gralloc_setup(const hw_module_t *module, hw_device_t **device);
int framebuffer_setup(const hw_module_t *module, hw_device_t **device);

/* The module record: the process's one instance, which the loader finds. */
extern VEK_gralloc_module_t HMI;

#ifdef __cplusplus
}
#endif

#if defined(__cplusplus) && defined(__arm__)
#include <stddef.h>
static_assert(sizeof(VEK_private_data_t) == 216, "private data");
static_assert(offsetof(VEK_private_data_t, sHQTInfo) == 20, "private data sHQTInfo");
static_assert(offsetof(VEK_private_data_t, hContext) == 196, "private data hContext");
static_assert(offsetof(VEK_private_data_t, sAppHints) == 200, "private data sAppHints");
static_assert(offsetof(VEK_private_data_t, psMapList) == 212, "private data psMapList");
static_assert(sizeof(VEK_gralloc_module_t) == 428, "module record");
static_assert(offsetof(VEK_gralloc_module_t, map) == 192, "map");
static_assert(offsetof(VEK_gralloc_module_t, unmap) == 196, "unmap");
static_assert(offsetof(VEK_gralloc_module_t, LogSyncs) == 200, "LogSyncs");
static_assert(offsetof(VEK_gralloc_module_t, GetBufferFormats) == 204, "GetBufferFormats");
static_assert(offsetof(VEK_gralloc_module_t, IsCompositor) == 208, "IsCompositor");
static_assert(offsetof(VEK_gralloc_module_t, sPrivateData) == 212, "sPrivateData");
#endif

#endif
