/* The checks a client process runs on the handles it receives. */
#ifndef CONFORMANCE_CLIENT_CHECKS_H
#define CONFORMANCE_CLIENT_CHECKS_H

#include <string>

#include "handle_transport.h"
#include "module.h"

namespace conformance {

struct ClientState {
    Module sModule;
    bool bLoaded = false;
    native_handle_t *psHeld = nullptr; /* the buffer kept registered by kOpHold */
    BufferDescription sHeld = {0, 0, 0, 0, 0};
};

/* Loads the module in the client, as an application's process does. */
bool StartClientState(ClientState *ps);
void StopClientState(ClientState *ps);
/* Runs one operation of the ClientOp list on the received handle, which it owns from then on (it
   goes as Android lets a handle go: native_handle_close, then native_handle_delete). */
int RunClientOp(ClientState *ps, int iOp, const std::string &sName, const int *aiArg, native_handle_t *psHandle,
                const BufferDescription &sDescription);

}  // namespace conformance

#endif
