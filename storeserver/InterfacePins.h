// A Wine workaround: one stub of every interface the server hands out, kept
// for the life of the process.
//
// Wine's COM registers an interface with the RPC runtime when the process's
// first stub of it is made and unregisters it, waiting for the calls on it to
// end, when the last one goes. Wine 8's RpcServerUnregisterIf reads the count
// of running calls and only then makes the event it waits on; a call that ends
// in between frees the entry without setting any event, and the server's
// apartment waits forever, with every later client hanging on it. A client's
// last call on an interface followed at once by its release (a stream's Commit,
// a class object's CreateInstance, a root's one question) is exactly that
// moment. With a stub of each interface kept, no interface is ever unregistered
// while the server serves. Windows is left as it is.
#pragma once

#include <unknwn.h>

namespace cfx::storeserver {

void pinServedInterfacesUnderWine(IClassFactory* factory);

} // namespace cfx::storeserver
