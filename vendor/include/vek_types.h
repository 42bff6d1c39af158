/* Basic types shared by the vendor's services client library, 2D library and drivers. */
#ifndef VEK_TYPES_H
#define VEK_TYPES_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t VEK_UINT32;
typedef int32_t VEK_INT32;
typedef uint64_t VEK_UINT64;
typedef void VEK_VOID;
typedef void *VEK_HANDLE;
typedef size_t VEK_SIZE_T;
typedef int VEK_BOOL;

#define VEK_FALSE 0
#define VEK_TRUE 1

/* A physical address. */
typedef struct {
    VEK_UINT32 uiAddr;
} VEK_SYS_PHYADDR;

/* A GPU-virtual address. */
typedef struct {
    VEK_UINT32 uiAddr;
} VEK_DEV_VIRTADDR;

/* Module codes for the app-hint state. */
#define VEK_ANDROID_HAL 14

/* Data types of app hints. */
typedef enum {
    VEK_INVALID_TYPE = 0,
    VEK_INT_TYPE = 1,
    VEK_STRING_TYPE = 2,
    VEK_UINT_TYPE = 3,
    VEK_FLAG_TYPE = 4,
} VEK_DATA_TYPE;

#ifdef __cplusplus
}
#endif

#endif
