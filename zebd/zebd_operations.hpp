/*
 * The operations clients ask for ("call", "get", "set", "add", "del",
 * "list", "subscribe", "unsubscribe"), looked up in a table by the request's
 * "op" field.
 */
#ifndef ZEBD_OPERATIONS_HPP
#define ZEBD_OPERATIONS_HPP

#include <cstdint>
#include <string>

#include "zeb/sl.h"
#include "zeb_bus_message.hpp"

namespace zebd {

class Server;
struct Client;

/* What an operation answers: a result and extra reply fields, or an error. */
struct Reply {
    zeb_bus::Message result; /* the empty variant when there is none */
    zeb_bus::Message fields; /* a map of further reply fields once set */
    uint32_t error = ZEB_ERROR_NONE;
    std::string message;
    std::string parameter; /* the parameter a refused value was meant for */

    /* Records a failure; returns false for use in return statements. */
    bool fail(uint32_t code, std::string text);
    /* Records the failure of the last libzeb call (zeb_error and its message;
     * ZEB_ERROR_REFUSED when no code was set). */
    bool failFromZeb();
};

/* Runs the operation the request names, filling `reply`. An unknown or
 * missing "op" fails with ZEB_ERROR_NOT_FOUND or ZEB_ERROR_INVALID_ARGUMENT. */
void runOperation(Server &server, Client &client, const zeb_bus::Message &request, Reply &reply);

/* The notification as the message pushed to a subscriber. False when memory
 * runs out. */
bool notificationMessage(const notification_t *notification, uint32_t subscription,
                         zeb_bus::Message &message);

} // namespace zebd

#endif
