/* Loads the module and reports whether it takes this process for the compositor. */
#include <hardware/gralloc.h>
#include <stdio.h>

#include "hal.h"
#include "zolsim/control.h"

int main() {
    const hw_module_t *psModule = nullptr;
    if (hw_get_module(GRALLOC_HARDWARE_MODULE_ID, &psModule) != 0) return 2;
    const VEK_gralloc_module_t *psHMI = reinterpret_cast<const VEK_gralloc_module_t *>(psModule);
    /* Asked twice: the answer is made once and kept. */
    int bFirst = psHMI->IsCompositor(), bSecond = psHMI->IsCompositor();
    printf("compositor=%d again=%d connect_flags=%u\n", bFirst, bSecond, zolsim_last_connect_flags());
    /* Calls the real libraries would refuse fail the probe. */
    if (zolsim_misuse_count() != 0) {
        fprintf(stderr, "%s", zolsim_misuse_text());
        return 3;
    }
    return 0;
}
