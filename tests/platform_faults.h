/* Failures of the platform calls the module makes itself: malloc, calloc and
   native_handle_create, made to fail on the module's Nth call. Calls from anywhere else (the
   test, the simulated device, the C++ runtime) are neither counted nor failed, so a failure
   point always lies inside the module. Link platform_faults.cpp into a program of its own: it
   replaces malloc and calloc for the whole process. */
#ifndef TESTS_PLATFORM_FAULTS_H
#define TESTS_PLATFORM_FAULTS_H

/* The platform functions that can be made to fail, in a fixed order. */
extern const char *const gapszPlatformFunctions[];
extern const unsigned guiNumPlatformFunctions;

/* Counting starts afresh and nothing is armed. */
void PlatformFaultsReset(void);
/* The uiNth call (from the last reset) that the module makes of the named function fails. */
void PlatformFaultArm(const char *pszFunction, unsigned uiNth);
/* The module's calls of the named function since the last reset. */
unsigned PlatformCalls(const char *pszFunction);

#endif
