/*
 * Error codes of the zeb platform: what the data model, the plug-in host,
 * the JSON readers and the bus report when a call fails.
 *
 * Rules:
 * - Codes are 32-bit values; ZEB_ERROR_NONE (0) means no failure. The codes
 *   are stable: they travel on the bus (the "code" of an error reply) and a
 *   client compares them with these names.
 * - This header only names the codes; it declares nothing to link. Where a
 *   failure leaves its code and message is the library's own rule:
 *   zeb_error and zeb_errorMessage() for libzeb_dm and libzeb_sl (zeb/dm.h),
 *   the client for libzeb_bus (zeb/bus.h).
 * - error_string() (zeb/dm.h) gives the text of a code.
 */
#ifndef ZEB_ERROR_H
#define ZEB_ERROR_H

#define ZEB_ERROR_NONE 0x0u
#define ZEB_ERROR_INVALID_ARGUMENT 0x10001u
#define ZEB_ERROR_NOT_FOUND 0x10002u
#define ZEB_ERROR_DUPLICATE 0x10003u
#define ZEB_ERROR_TYPE 0x10004u    /* a value that cannot be converted */
#define ZEB_ERROR_REFUSED 0x10005u /* a validator refused the value */
#define ZEB_ERROR_READ_ONLY 0x10006u
#define ZEB_ERROR_NO_MEMORY 0x10007u
#define ZEB_ERROR_IO 0x10008u /* a file could not be read or written */
#define ZEB_ERROR_INVALID_FILE 0x10009u
#define ZEB_ERROR_LIMIT 0x1000Au        /* a size or depth limit was exceeded */
#define ZEB_ERROR_WRONG_OBJECT 0x1000Bu /* e.g. an instance operation on a singleton */
#define ZEB_ERROR_STATE 0x1000Cu        /* e.g. a change to an object being deleted */
#define ZEB_ERROR_PERMISSION 0x1000Du   /* the caller may not do this (bus access rules) */

#endif
