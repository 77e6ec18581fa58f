/*
 * GET and POST /vcard: the phonebook as a file of vCards, out page by page
 * and in batch by batch, through zeb_vcard as phonebook-vcard does it.
 * docs/web-api.md describes the answers. Every bus request goes through the
 * session's access rules first. Used from the server's one thread.
 */
#ifndef ZEB_HTTPD_VCARD_HPP
#define ZEB_HTTPD_VCARD_HPP

#include <cstddef>
#include <string>

#include "httpd_access.hpp"
#include "httpd_rpc.hpp"
#include "zeb/vcard.hpp"

struct MHD_Response;

namespace zebhttpd {

/* The largest vCard upload. */
constexpr size_t kMaxVcardBody = 16u << 20;

/* The phonebook's calls for zeb_vcard over `bus`, as `session` may make them:
 * a request its roles refuse and a refusal of the bus throw vcard::Refused
 * (vcard::AnswerTooLarge for ZEB_ERROR_LIMIT); a bus that cannot be reached
 * throws std::runtime_error. `bus` and `access` must outlive the calls. */
vcard::Phonebook vcardCalls(BusLink &bus, const Access &access, const Session &session);

/* The export as a streamed answer whose body is every contact as a vCard of
 * `version`, a page of the phonebook read only once the one before is sent.
 * The first page is read here: when that fails, null and `status` (403 for
 * a refusal of the access rules, 502 otherwise) with `error` set. A failure
 * or a change of the number of contacts after that ends the body without
 * its last chunk, so that the client sees it incomplete. */
MHD_Response *exportVcards(const vcard::Phonebook &calls, vcard::Version version, unsigned &status,
                           std::string &error);

/* Imports the vCards of `body` (emptied once read): the HTTP status and the
 * JSON report. 200 when the cards were sent, each refused one told in the
 * report; 422 when the file cannot be read (nothing imported); 403 or 502
 * with the report so far when the phonebook refused the import or could not
 * be reached. */
unsigned importVcards(const vcard::Phonebook &calls, std::string &body, bool update,
                      std::string &answer);

} // namespace zebhttpd

#endif
