/* A buffer handle crossing processes as Android's GraphicBuffer flattening sends it: the
   descriptors with SCM_RIGHTS, a header of eight ints and the handle's ints as data. */
#ifndef TESTS_HANDLE_TRANSPORT_H
#define TESTS_HANDLE_TRANSPORT_H

#include <cutils/native_handle.h>

struct BufferDescription {
    int iWidth, iHeight, iStride, iFormat, iUsage;
};

/* 0 or -errno. The handle stays the sender's. */
int SendBufferHandle(int iSocket, const native_handle_t *psHandle, const BufferDescription &sDescription);

/* A new handle made with native_handle_create, holding the received descriptors; NULL on error. */
native_handle_t *ReceiveBufferHandle(int iSocket, BufferDescription *psDescription);

#endif
