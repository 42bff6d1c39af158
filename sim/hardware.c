/* libhardware: finds and loads a hardware module from the simulated device's hw directory. */
#include <hardware/hardware.h>

#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static const char *env_or(const char *pszVar, const char *pszDefault) {
    const char *v = getenv(pszVar);
    return (v != NULL && v[0] != '\0') ? v : pszDefault;
}

static int load(const char *pszId, const char *pszPath, const struct hw_module_t **ppsModule) {
    void *dso = dlopen(pszPath, RTLD_NOW);
    if (dso == NULL) {
        fprintf(stderr, "hw_get_module: cannot load %s: %s\n", pszPath, dlerror());
        *ppsModule = NULL;
        return -EINVAL;
    }
    struct hw_module_t *hmi = (struct hw_module_t *)dlsym(dso, HAL_MODULE_INFO_SYM_AS_STR);
    if (hmi == NULL || hmi->id == NULL || strcmp(pszId, hmi->id) != 0) {
        fprintf(stderr, "hw_get_module: %s has no module %s\n", pszPath, pszId);
        dlclose(dso);
        *ppsModule = NULL;
        return -EINVAL;
    }
    hmi->dso = dso;
    *ppsModule = hmi;
    return 0;
}

int hw_get_module_by_class(const char *class_id, const char *inst, const struct hw_module_t **module) {
    char name[256];
    char path[1024];
    if (inst != NULL)
        snprintf(name, sizeof(name), "%s.%s", class_id, inst);
    else
        snprintf(name, sizeof(name), "%s", class_id);

    const char *dir = env_or("ZOLSIM_HW_DIR", GRALLOC_HW_DIR);
    const char *board = env_or("ZOLSIM_BOARD", GRALLOC_BOARD);

    snprintf(path, sizeof(path), "%s/%s.%s.so", dir, name, board);
    if (access(path, R_OK) == 0) return load(class_id, path, module);
    snprintf(path, sizeof(path), "%s/%s.default.so", dir, name);
    if (access(path, R_OK) == 0) return load(class_id, path, module);
    return -ENOENT;
}

int hw_get_module(const char *id, const struct hw_module_t **module) {
    return hw_get_module_by_class(id, NULL, module);
}
