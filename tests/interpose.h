/* Failures of platform calls that the simulated device does not own: native_handle_create and
   pthread_create, made to fail on their Nth call from now. */
#ifndef TESTS_INTERPOSE_H
#define TESTS_INTERPOSE_H

void FailNativeHandleCreate(unsigned uiNth);
unsigned NativeHandleCreateCalls();
/* iErr is what pthread_create answers, at the Nth call and the uiTimes - 1 calls after it. */
void FailPthreadCreate(unsigned uiNth, int iErr, unsigned uiTimes = 1);
unsigned PthreadCreateCalls();

#endif
