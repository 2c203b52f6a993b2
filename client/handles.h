// The library's two global handle tables and the lookups every export starts
// with. Built when the library is loaded; at unload the enumerators go first,
// then the connections.
#ifndef VRELAY_CLIENT_HANDLES_H
#define VRELAY_CLIENT_HANDLES_H

#include <memory>

#include "client/handle_table.h"
#include "connection/threaded_connection.h"

namespace vrelay {

class Enumerator;

HandleTable<ThreadedConnection>& Connections();
HandleTable<Enumerator>& Enumerators();

inline std::shared_ptr<ThreadedConnection> LookupConnection(int32_t handle) {
    return Connections().Lookup(handle);
}

}  // namespace vrelay

#endif
