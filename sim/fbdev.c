/* The framebuffer node "/dev/graphics/fb0" of the simulated device. The module opens it with the
   ordinary libc calls, so libzolsrv (linked ahead of libc) stands in for them and forwards every
   other path and descriptor to libc. */
#undef _FORTIFY_SOURCE
#undef _FILE_OFFSET_BITS
#define _GNU_SOURCE

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "zolsim_internal.h"

#define FB_PATH "/dev/graphics/fb0"
#define FB_MAX_OPEN 64

int __open_2(const char *path, int flags);
int __open64_2(const char *path, int flags);

typedef int (*open_fn)(const char *, int, ...);
typedef int (*open2_fn)(const char *, int);
typedef int (*ioctl_fn)(int, unsigned long, ...);
typedef int (*close_fn)(int);

static pthread_mutex_t g_fb_mu = PTHREAD_MUTEX_INITIALIZER;
static int g_fb_configured;
static int g_fb_ioctl_fails;
static struct fb_var_screeninfo g_fb_var;
static int g_fb_fds[FB_MAX_OPEN];
static int g_fb_open; /* entries used in g_fb_fds; read without the lock on the close fast path */
static int g_fb_last_flags = -1;

static void *next_sym(void **ppvCache, const char *pszName) {
    void *p = __atomic_load_n(ppvCache, __ATOMIC_ACQUIRE);
    if (p == NULL) {
        p = dlsym(RTLD_NEXT, pszName);
        if (p == NULL) {
            fprintf(stderr, "zolsim: no libc %s\n", pszName);
            abort();
        }
        __atomic_store_n(ppvCache, p, __ATOMIC_RELEASE);
    }
    return p;
}

static void *g_open, *g_open64, *g_open_2, *g_open64_2, *g_ioctl, *g_close;

static int is_fb_path(const char *path) { return path != NULL && strcmp(path, FB_PATH) == 0; }

/* A real descriptor stands for the node, so the module can poll, dup and close it as usual. It is
   opened with the caller's access mode, and the flags a character device refuses are refused. */
static int fb_open(int flags) {
    pthread_mutex_lock(&g_fb_mu);
    g_fb_last_flags = flags;
    int err = 0;
    if (!g_fb_configured)
        err = ENOENT;
    else if ((flags & O_ACCMODE) == O_ACCMODE)
        err = EINVAL;
    else if (flags & O_DIRECTORY)
        err = ENOTDIR;
    else if ((flags & O_CREAT) && (flags & O_EXCL))
        err = EEXIST;
    if (err != 0) {
        pthread_mutex_unlock(&g_fb_mu);
        errno = err;
        return -1;
    }
    if (!g_fb_configured) {
        pthread_mutex_unlock(&g_fb_mu);
        errno = ENOENT;
        return -1;
    }
    if (g_fb_open == FB_MAX_OPEN) {
        pthread_mutex_unlock(&g_fb_mu);
        errno = EMFILE;
        return -1;
    }
    int fd = ((open_fn)next_sym(&g_open, "open"))("/dev/null", (flags & O_ACCMODE) | (flags & O_CLOEXEC));
    if (fd >= 0) g_fb_fds[__atomic_fetch_add(&g_fb_open, 1, __ATOMIC_RELAXED)] = fd;
    pthread_mutex_unlock(&g_fb_mu);
    return fd;
}

static int fb_index_locked(int fd) {
    int n = __atomic_load_n(&g_fb_open, __ATOMIC_RELAXED);
    for (int i = 0; i < n; i++)
        if (g_fb_fds[i] == fd) return i;
    return -1;
}

static mode_t mode_arg(int flags, va_list ap) {
    return (flags & O_CREAT) || (flags & __O_TMPFILE) == __O_TMPFILE ? (mode_t)va_arg(ap, int) : 0;
}

int open(const char *path, int flags, ...) {
    if (is_fb_path(path)) return fb_open(flags);
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    return ((open_fn)next_sym(&g_open, "open"))(path, flags, mode);
}

int open64(const char *path, int flags, ...) {
    if (is_fb_path(path)) return fb_open(flags);
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    return ((open_fn)next_sym(&g_open64, "open64"))(path, flags, mode);
}

int __open_2(const char *path, int flags) {
    if (is_fb_path(path)) return fb_open(flags);
    return ((open2_fn)next_sym(&g_open_2, "__open_2"))(path, flags);
}

int __open64_2(const char *path, int flags) {
    if (is_fb_path(path)) return fb_open(flags);
    return ((open2_fn)next_sym(&g_open64_2, "__open64_2"))(path, flags);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);

    if (__atomic_load_n(&g_fb_open, __ATOMIC_RELAXED) > 0) {
        pthread_mutex_lock(&g_fb_mu);
        if (fb_index_locked(fd) >= 0) {
            int rc = 0;
            if (request == FBIOGET_VSCREENINFO && !g_fb_ioctl_fails && arg != NULL) {
                memcpy(arg, &g_fb_var, sizeof(g_fb_var));
            } else {
                errno = EINVAL;
                rc = -1;
            }
            pthread_mutex_unlock(&g_fb_mu);
            return rc;
        }
        pthread_mutex_unlock(&g_fb_mu);
    }
    return ((ioctl_fn)next_sym(&g_ioctl, "ioctl"))(fd, request, arg);
}

int close(int fd) {
    if (__atomic_load_n(&g_fb_open, __ATOMIC_RELAXED) > 0) {
        pthread_mutex_lock(&g_fb_mu);
        int i = fb_index_locked(fd);
        if (i >= 0) {
            int last = __atomic_sub_fetch(&g_fb_open, 1, __ATOMIC_RELAXED);
            g_fb_fds[i] = g_fb_fds[last];
        }
        pthread_mutex_unlock(&g_fb_mu);
    }
    zolsim_internal_fd_closed(fd);
    return ((close_fn)next_sym(&g_close, "close"))(fd);
}

void zolsim_set_fb_var_screeninfo(const struct fb_var_screeninfo *psInfo, int bIoctlFails) {
    pthread_mutex_lock(&g_fb_mu);
    g_fb_configured = psInfo != NULL;
    g_fb_ioctl_fails = bIoctlFails;
    if (psInfo != NULL)
        g_fb_var = *psInfo;
    else
        memset(&g_fb_var, 0, sizeof(g_fb_var));
    pthread_mutex_unlock(&g_fb_mu);
}

int zolsim_fbdev_last_open_flags(void) {
    pthread_mutex_lock(&g_fb_mu);
    int flags = g_fb_last_flags;
    pthread_mutex_unlock(&g_fb_mu);
    return flags;
}

unsigned zolsim_fbdev_open_count(void) { return (unsigned)__atomic_load_n(&g_fb_open, __ATOMIC_RELAXED); }

void zolsim_internal_fbdev_reset(void) {
    zolsim_set_fb_var_screeninfo(NULL, 0);
    pthread_mutex_lock(&g_fb_mu);
    g_fb_last_flags = -1;
    pthread_mutex_unlock(&g_fb_mu);
}
