/* libcutils: native handles as Android 4.0 defines them. */
#include <cutils/native_handle.h>

#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

native_handle_t *native_handle_create(int numFds, int numInts) {
    native_handle_t *h = malloc(sizeof(native_handle_t) + sizeof(int) * (size_t)(numFds + numInts));
    if (h == NULL) return NULL;
    h->version = sizeof(native_handle_t);
    h->numFds = numFds;
    h->numInts = numInts;
    return h;
}

int native_handle_delete(native_handle_t *h) {
    if (h == NULL) return 0;
    if (h->version != sizeof(native_handle_t)) return -EINVAL;
    free(h);
    return 0;
}

int native_handle_close(const native_handle_t *h) {
    if (h->version != sizeof(native_handle_t)) return -EINVAL;
    for (int i = 0; i < h->numFds; i++) close(h->data[i]);
    return 0;
}
