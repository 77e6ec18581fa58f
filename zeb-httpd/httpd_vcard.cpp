#include "httpd_vcard.hpp"

#include <cstring>
#include <memory>

#include <malloc.h>

#include <microhttpd.h>

#include "zeb/error.h"
#include "zeb_variant_json.hpp"

namespace zebhttpd {

namespace {

using vcard::json;

[[noreturn]] void refused(zeb_bus_client_t *client, const std::string &function) {
    uint32_t code = zeb_bus_client_errorCode(client);
    std::string message = function + ": " + zeb_bus_client_errorMessage(client);
    if (zeb_bus_isTransportError(code))
        throw std::runtime_error(message);
    if (code == ZEB_ERROR_LIMIT)
        throw vcard::AnswerTooLarge(message, code);
    throw vcard::Refused(code, message);
}

// A function of the phonebook with named arguments: its return value, and
// its out-argument "result" into `result` when asked.
json callPhonebook(BusLink &bus, const Access &access, const Session &session,
                   const std::string &function, const json &args, json *result) {
    std::string denied = access.refusal(session, {"call", "Phonebook", function, false, {}});
    if (!denied.empty())
        throw vcard::Refused(ZEB_ERROR_PERMISSION, "permission denied: " + denied);
    zeb_bus_client_t *client = bus.client();
    if (client == nullptr)
        throw std::runtime_error("cannot reach the bus");
    Variant given, retval, wrapped;
    if (!zeb_json::jsonToVariant(args, given.get()))
        throw vcard::Refused(ZEB_ERROR_INVALID_ARGUMENT, function + ": no bus form");
    variant_map_t outargs;
    variant_map_initialize(&outargs);
    bool ok = zeb_bus_call(client, "Phonebook", function.c_str(), given.get(), retval.get(),
                           result != nullptr ? &outargs : nullptr);
    variant_setMapMove(wrapped.get(), &outargs);
    variant_map_cleanup(&outargs);
    if (!ok)
        refused(client, function);
    json out, outs;
    if (!zeb_json::variantToJson(retval.get(), out) ||
        (result != nullptr && !zeb_json::variantToJson(wrapped.get(), outs)))
        throw vcard::Refused(ZEB_ERROR_INVALID_ARGUMENT, function + ": an answer without JSON");
    if (result != nullptr)
        *result = outs.is_object() ? outs.value("result", json::array()) : json::array();
    return out;
}

size_t messageSize(const json &value) {
    Variant variant;
    char *frame = nullptr;
    size_t size = 0;
    if (!zeb_json::jsonToVariant(value, variant.get()) ||
        zeb_bus_encodeFrame(variant.get(), &frame, &size) != 0)
        return SIZE_MAX;
    std::free(frame);
    return size - 4;
}

// A request this large leaves the heap grown by several times its size; the
// idle bridge should not keep that.
constexpr size_t kLargeRequest = 1u << 20;

void releaseFreedMemory() {
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

// The export of one GET /vcard while its body is sent: one page at a time.
struct ExportStream {
    vcard::Export pages;
    std::string page;
    size_t sent = 0;
    size_t total = 0; /* bytes of the body so far */
};

ssize_t readExport(void *cls, uint64_t /*position*/, char *buffer, size_t max) {
    auto &stream = *static_cast<ExportStream *>(cls);
    try {
        while (stream.sent == stream.page.size()) {
            stream.sent = 0;
            if (!stream.pages.next(stream.page))
                return MHD_CONTENT_READER_END_OF_STREAM;
            // A contact added or removed meanwhile shifted the pages: one
            // may be missing, and the answer must not look whole.
            if (stream.pages.changed())
                return MHD_CONTENT_READER_END_WITH_ERROR;
        }
    } catch (const std::exception &) {
        return MHD_CONTENT_READER_END_WITH_ERROR;
    }
    size_t n = std::min(max, stream.page.size() - stream.sent);
    std::memcpy(buffer, stream.page.data() + stream.sent, n);
    stream.sent += n;
    stream.total += n;
    return static_cast<ssize_t>(n);
}

void freeExport(void *cls) {
    auto *stream = static_cast<ExportStream *>(cls);
    bool large = stream->total > kLargeRequest;
    delete stream;
    if (large)
        releaseFreedMemory();
}

unsigned statusOf(const vcard::Refused &e) {
    return e.code == ZEB_ERROR_PERMISSION ? 403 : 502;
}

} // namespace

vcard::Phonebook vcardCalls(BusLink &bus, const Access &access, const Session &session) {
    vcard::Phonebook calls;
    calls.call = [&bus, &access, session](const std::string &function, const json &args) {
        return callPhonebook(bus, access, session, function, args, nullptr);
    };
    calls.addContacts = [&bus, &access, session](const json &contacts) {
        json refused;
        callPhonebook(bus, access, session, "addContacts", {{"contacts", contacts}}, &refused);
        return refused;
    };
    calls.messageSize = messageSize;
    calls.maxMessage = ZEB_BUS_MAX_MESSAGE_SIZE;
    return calls;
}

MHD_Response *exportVcards(const vcard::Phonebook &calls, vcard::Version version, unsigned &status,
                           std::string &error) {
    auto stream = std::make_unique<ExportStream>(ExportStream{{calls.call, version}, "", 0, 0});
    try {
        if (!stream->pages.next(stream->page))
            stream->page.clear();
    } catch (const vcard::Refused &e) {
        status = statusOf(e);
        error = e.what();
        return nullptr;
    } catch (const std::exception &e) {
        status = 502;
        error = e.what();
        return nullptr;
    }
    MHD_Response *response = MHD_create_response_from_callback(
        MHD_SIZE_UNKNOWN, 64 * 1024, readExport, stream.get(), freeExport);
    if (response != nullptr)
        stream.release();
    return response;
}

namespace {

unsigned runImport(const vcard::Phonebook &calls, std::string &body, bool update,
                   std::string &answer) {
    vcard::Limits limits;
    limits.fileBytes = kMaxVcardBody;
    std::unique_ptr<vcard::Import> import;
    try {
        import = std::make_unique<vcard::Import>(std::move(body),
                                                 vcard::ImportOptions{update, false}, limits);
    } catch (const vcard::ReadError &e) {
        answer = json({{"error", e.what()}, {"line", e.line}}).dump();
        return 422;
    }
    std::string().swap(body);
    unsigned status = 200;
    std::string error;
    try {
        import->run(calls);
    } catch (const vcard::Refused &e) {
        status = statusOf(e);
        error = e.what();
    } catch (const std::exception &e) {
        status = 502;
        error = e.what();
    }
    const vcard::ImportReport &report = import->report();
    json out = report.summary(update);
    json refusedCards = json::array(), warnings = json::array();
    for (const vcard::Refusal &card : report.refused)
        refusedCards.push_back(
            {{"line", card.line}, {"formattedName", card.formattedName}, {"reason", card.reason}});
    for (const vcard::Note &note : report.warnings)
        warnings.push_back({{"line", note.line}, {"text", note.text}});
    out["refused"] = refusedCards;
    out["warnings"] = warnings;
    if (report.moreWarnings > 0)
        out["more_warnings"] = report.moreWarnings;
    if (report.moreRefused > 0)
        out["more_refused"] = report.moreRefused;
    if (!error.empty())
        out["error"] = error;
    answer = out.dump();
    return status;
}

} // namespace

unsigned importVcards(const vcard::Phonebook &calls, std::string &body, bool update,
                      std::string &answer) {
    bool large = body.size() > kLargeRequest;
    unsigned status = runImport(calls, body, update, answer);
    if (large)
        releaseFreedMemory();
    return status;
}

} // namespace zebhttpd
