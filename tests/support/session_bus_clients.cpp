// glib's headers first, in a unit of their own: they use "signals" as a name.
#include <libsecret/secret.h>

#include "session_bus_clients.h"

namespace cordavelle::test {

void releaseSessionBusClients()
{
    // Only a connection GLib already shares needs the change; asking for one when there is none
    // opens one to the bus that is still there, which is harmless.
    if (GDBusConnection *connection = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr)) {
        g_dbus_connection_set_exit_on_close(connection, FALSE);
        g_object_unref(connection);
    }
    secret_service_disconnect();
}

} // namespace cordavelle::test
