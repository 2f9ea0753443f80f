/* Arms a failure in the simulator's mobile device library before the command-line host loads it,
 * for tests that run the host as a program and cannot call the control API in its process.
 * Loaded with LD_PRELOAD; BW_TEST_SIM_LIBRARY is the library's path (the host's later dlopen of
 * the same file gets this instance), BW_TEST_SIM_FAILURE is "FUNCTION,DETAIL,STATUS,COUNT" with
 * an empty DETAIL for any call. */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef int (*InjectFailure)(const char*, const char*, int, int);

__attribute__((constructor)) static void ArmSimulatorFailure(void) {
    const char* library = getenv("BW_TEST_SIM_LIBRARY");
    const char* failure = getenv("BW_TEST_SIM_FAILURE");
    if (library == NULL || failure == NULL) return;
    char function[128], detail[128] = "";
    int status = 0, count = 0;
    if (sscanf(failure, "%127[^,],%127[^,],%d,%d", function, detail, &status, &count) != 4 &&
        sscanf(failure, "%127[^,],,%d,%d", function, &status, &count) != 3) {
        fprintf(stderr, "sim_failure_preload: cannot read BW_TEST_SIM_FAILURE\n");
        return;
    }
    /* Never closed: the host must find this instance, with the failure armed, when it loads the
     * library by the same path. */
    void* handle = dlopen(library, RTLD_NOW | RTLD_GLOBAL);
    InjectFailure inject =
        handle == NULL ? NULL : (InjectFailure)dlsym(handle, "BwSimInjectFailure");
    if (inject == NULL || inject(function, detail[0] != '\0' ? detail : NULL, status, count) != 0) {
        fprintf(stderr, "sim_failure_preload: cannot arm the failure in %s\n", library);
    }
}
