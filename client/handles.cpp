#include "client/handles.h"

#include "client/enumerator.h"

namespace vrelay {

namespace {

// Members are destroyed in reverse order: enumerators first, then connections.
struct GlobalTables {
    HandleTable<ThreadedConnection> connections;
    HandleTable<Enumerator> enumerators;
};

GlobalTables g_tables;

}  // namespace

HandleTable<ThreadedConnection>& Connections() {
    return g_tables.connections;
}
HandleTable<Enumerator>& Enumerators() {
    return g_tables.enumerators;
}

}  // namespace vrelay
