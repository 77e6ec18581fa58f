// phonebook-vcard: vCard files into the phonebook and out of it, as a client
// of the bus (the daemon opens no file for it). docs/vcard.md tells the
// mapping. Exit status: 0 done, 1 a card refused, the file not read or
// written, or contacts added or removed during an export,
// 2 usage error, 3 no daemon or no answer in time, 4 the socket's
// permissions refuse the connection.
#include "zeb/vcard.hpp"

#include "zeb/bus.h"
#include "zeb_client_options.hpp"
#include "zeb/error.h"
#include "zeb_variant_json.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using vcard::json;

const char *const kUsageText =
    "usage: phonebook-vcard [-s SOCKET] [-t SECONDS] import FILE|- [--update] [--keep-numbers]\n"
    "       phonebook-vcard [-s SOCKET] [-t SECONDS] export FILE|- [--version 3.0|4.0]\n"
    "import adds the cards of FILE (- for standard input) and prints\n"
    "  {\"added\":N,\"failed\":M,\"skipped_properties\":K,...}; refused cards are told on "
    "standard error.\n"
    "  --update: a card whose UID, else formatted name, a contact holds modifies that contact.\n"
    "  --keep-numbers: numbers as written, not in the dialable form (+4930123456).\n"
    "export writes every contact as a vCard (default version 3.0) to FILE or standard output,\n"
    "  sorted by formatted name.\n"
    "SOCKET defaults to $ZEB_SOCKET, else {SOCKET}; SECONDS to 60.\n"
    "Exit status: 0 done, 1 a card refused, the file not read or written, or contacts added\n"
    "or removed during the export, 2 usage error, 3 no daemon,\n"
    "4 permission denied: the socket's permissions refuse this user.\n";

enum Exit { kDone = 0, kRefused = 1, kUsageError = 2, kUnreachable = 3, kDenied = 4 };

// A batch under the sanitizers may take seconds.
constexpr int kTimeoutMs = 60000;

struct UsageError {
    std::string message;
};

// The daemon is gone or does not answer.
struct Unreachable {
    std::string message;
};

// The socket's permissions refuse this user.
struct Denied {
    std::string message;
};

// The daemon refused a call, or a file could not be read or written.
struct Failed {
    std::string message;
    uint32_t code = 0; /* the daemon's error code, when it refused a call */
};

// One line on standard error; line breaks of names and values become blanks.
void say(std::string line) {
    for (char &c : line) {
        if (c == '\n' || c == '\r')
            c = ' ';
    }
    std::fprintf(stderr, "phonebook-vcard: %s\n", line.c_str());
}

class Variant {
  public:
    Variant() { variant_initialize(&value_, variant_type_unknown); }
    explicit Variant(const json &value) : Variant() {
        if (!zeb_json::jsonToVariant(value, &value_))
            throw std::runtime_error("a contact has no bus form");
    }
    ~Variant() { variant_cleanup(&value_); }
    Variant(const Variant &) = delete;
    Variant &operator=(const Variant &) = delete;
    variant_t *get() { return &value_; }
    json toJson() const {
        json out;
        return zeb_json::variantToJson(&value_, out) ? out : json();
    }

  private:
    variant_t value_;
};

// The size of a value in a bus message.
size_t encodedSize(const json &value) {
    Variant variant(value);
    char *frame = nullptr;
    size_t size = 0;
    if (zeb_bus_encodeFrame(variant.get(), &frame, &size) != 0)
        return SIZE_MAX;
    std::free(frame);
    return size - 4;
}

// The phonebook over the bus.
class Phonebook {
  public:
    Phonebook(const std::string &socket, int timeoutMs)
        : owned_(zeb_bus_client_create(), zeb_bus_client_destroy), client_(owned_.get()) {
        if (client_ == nullptr)
            throw std::bad_alloc();
        zeb_bus_client_setTimeout(client_, timeoutMs);
        if (zeb_bus_client_connect(client_, socket.c_str()))
            return;
        std::string message = zeb_bus_client_errorMessage(client_);
        if (zeb_bus_client_errorCode(client_) == ZEB_BUS_ERROR_DENIED)
            throw Denied{message};
        throw Unreachable{"cannot reach the daemon: " + message};
    }

    // The function's return value; its out-argument "result" into `result`
    // when asked.
    json call(const char *function, const json &args, json *result = nullptr) {
        Variant given(args), retval;
        variant_map_t outargs;
        variant_map_initialize(&outargs);
        bool ok = zeb_bus_call(client_, "Phonebook", function, given.get(), retval.get(),
                               result != nullptr ? &outargs : nullptr);
        if (ok && result != nullptr) {
            Variant wrapped;
            variant_setMapMove(wrapped.get(), &outargs);
            *result = wrapped.toJson().value("result", json::array());
        }
        variant_map_cleanup(&outargs);
        if (ok)
            return retval.toJson();
        std::string message = std::string(function) + ": " + zeb_bus_client_errorMessage(client_);
        uint32_t code = zeb_bus_client_errorCode(client_);
        if (zeb_bus_isTransportError(code))
            throw Unreachable{message};
        throw Failed{message, code};
    }

    // True when a lookup finds a contact (an empty map when none).
    bool finds(const char *function, const char *argument, const std::string &value) {
        json found = call(function, {{argument, value}});
        return found.is_object() && !found.empty();
    }

  private:
    std::unique_ptr<zeb_bus_client_t, void (*)(zeb_bus_client_t *)> owned_;
    zeb_bus_client_t *client_;
};

std::string displayName(const std::string &file) {
    return file == "-" ? "<stdin>" : file;
}

// The whole file, at most `limit` bytes (one more tells that it is larger).
std::string readInput(const std::string &file, size_t limit) {
    FILE *in = file == "-" ? stdin : std::fopen(file.c_str(), "rb");
    if (in == nullptr)
        throw Failed{"cannot open " + file + ": " + std::strerror(errno)};
    std::string bytes;
    char buffer[65536];
    size_t got;
    while (bytes.size() <= limit && (got = std::fread(buffer, 1, sizeof buffer, in)) > 0)
        bytes.append(buffer, got);
    bool failed = std::ferror(in) != 0;
    if (in != stdin)
        std::fclose(in);
    if (failed)
        throw Failed{"cannot read " + displayName(file)};
    return bytes;
}

// Counts by property name, told as " NAME N, NAME N".
std::string countsByName(const std::map<std::string, size_t> &byName) {
    std::string line;
    for (const auto &entry : byName)
        line += " " + entry.first + " " + std::to_string(entry.second) + ",";
    line.pop_back();
    return line;
}

// The warnings of the file and what it left out, told before the cards go in.
void reportWarnings(const std::string &file, const vcard::ImportReport &report) {
    for (const vcard::Note &note : report.warnings)
        say(displayName(file) + ":" + std::to_string(note.line) + ": " + note.text);
    if (report.moreWarnings > 0)
        say(std::to_string(report.moreWarnings) + " more warnings");
    size_t skipped = 0, dropped = 0;
    for (const auto &entry : report.skipped)
        skipped += entry.second;
    for (const auto &entry : report.dropped)
        dropped += entry.second;
    if (skipped > 0)
        say("left out " + std::to_string(skipped) +
            " properties that no contact holds:" + countsByName(report.skipped));
    // Told apart from the above, whatever the warnings hid: these are
    // numbers and addresses the contacts lack.
    if (dropped > 0)
        say("could not read " + std::to_string(dropped) +
            " telephone numbers, e-mail or postal addresses:" + countsByName(report.dropped));
}

// The phonebook's calls for zeb_vcard: its refusals told apart from the
// failures of the connection, a page too large for one message apart from
// the other refusals.
vcard::Call pagingCalls(Phonebook &phonebook) {
    return [&phonebook](const std::string &function, const json &args) {
        try {
            return phonebook.call(function.c_str(), args);
        } catch (const Failed &e) {
            if (e.code == ZEB_ERROR_LIMIT)
                throw vcard::AnswerTooLarge(e.message, e.code);
            throw vcard::Refused(e.code, e.message);
        }
    };
}

vcard::Phonebook importCalls(Phonebook &phonebook) {
    vcard::Phonebook calls;
    calls.call = pagingCalls(phonebook);
    calls.addContacts = [&phonebook](const json &contacts) {
        json refused = json::array();
        try {
            phonebook.call("addContacts", {{"contacts", contacts}}, &refused);
        } catch (const Failed &e) {
            throw vcard::Refused(e.code, e.message);
        }
        return refused;
    };
    calls.messageSize = encodedSize;
    calls.maxMessage = ZEB_BUS_MAX_MESSAGE_SIZE;
    return calls;
}

int runImport(const zebclient::Options &options, const std::vector<std::string> &args) {
    std::string file;
    vcard::ImportOptions wanted;
    for (const std::string &arg : args) {
        if (arg == "--update")
            wanted.update = true;
        else if (arg == "--keep-numbers")
            wanted.keepNumbers = true;
        else if (file.empty() && (arg == "-" || arg.rfind("--", 0) != 0))
            file = arg;
        else
            throw UsageError{"import takes one FILE (- for standard input), --update and "
                             "--keep-numbers"};
    }
    if (file.empty())
        throw UsageError{"import takes one FILE (- for standard input)"};
    vcard::Limits limits;
    std::string bytes = readInput(file, limits.fileBytes);
    std::unique_ptr<vcard::Import> import;
    try {
        import = std::make_unique<vcard::Import>(std::move(bytes), wanted, limits);
    } catch (const vcard::ReadError &e) {
        say(displayName(file) + ": " + e.what() + "; nothing imported");
        return kRefused;
    }
    reportWarnings(file, import->report());

    Phonebook phonebook(options.socket, options.timeoutMs);
    int status = kDone;
    std::string stopped;
    try {
        import->run(importCalls(phonebook));
    } catch (const Unreachable &e) {
        status = kUnreachable;
        stopped = e.message;
    }
    const vcard::ImportReport &report = import->report();
    for (const vcard::Refusal &card : report.refused)
        say("refused \"" + card.formattedName + "\" (" + displayName(file) + ", card at line " +
            std::to_string(card.line) + "): " + card.reason);
    if (report.moreRefused > 0)
        say("and " + std::to_string(report.moreRefused) + " more cards refused");
    if (!stopped.empty())
        say(stopped + "; the import stopped");
    std::printf("%s\n", report.summary(wanted.update).dump().c_str());
    if (status == kDone && !report.refused.empty())
        status = kRefused;
    return status;
}

// The export's destination: standard output, or a new file beside FILE
// renamed over it by commit(), so that a failure leaves the old file as it
// was.
class Output {
  public:
    explicit Output(std::string file) : file_(std::move(file)) {
        if (file_ == "-")
            return;
        temporary_ = file_ + ".XXXXXX";
        fd_ = mkstemp(temporary_.data());
        if (fd_ < 0)
            throw Failed{"cannot create a file beside " + file_ + ": " + std::strerror(errno)};
        mode_t mask = umask(0);
        umask(mask);
        if (fchmod(fd_, 0666 & ~mask) != 0)
            fail();
    }
    ~Output() {
        if (fd_ >= 0) {
            close(fd_);
            unlink(temporary_.c_str());
        }
    }
    Output(const Output &) = delete;
    Output &operator=(const Output &) = delete;

    void write(const std::string &text) {
        if (fd_ < 0) {
            if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size())
                throw Failed{"cannot write to standard output"};
            return;
        }
        for (size_t done = 0; done < text.size();) {
            ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
            if (n <= 0)
                fail();
            done += static_cast<size_t>(n);
        }
    }

    void commit() {
        if (fd_ < 0) {
            if (std::fflush(stdout) != 0)
                throw Failed{"cannot write to standard output"};
            return;
        }
        int fd = fd_;
        fd_ = -1;
        if (close(fd) != 0 || std::rename(temporary_.c_str(), file_.c_str()) != 0) {
            std::string why = std::strerror(errno);
            unlink(temporary_.c_str());
            throw Failed{"cannot write " + file_ + ": " + why};
        }
    }

  private:
    [[noreturn]] void fail() {
        throw Failed{"cannot write " + file_ + ": " + std::strerror(errno)};
    }

    std::string file_, temporary_;
    int fd_ = -1;
};

int runExport(const zebclient::Options &options, const std::vector<std::string> &args) {
    std::string file;
    vcard::Version version = vcard::Version::v30;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--version") {
            std::string wanted = i + 1 < args.size() ? args[++i] : "";
            if (wanted != "3.0" && wanted != "4.0")
                throw UsageError{"--version takes 3.0 or 4.0"};
            version = wanted == "4.0" ? vcard::Version::v40 : vcard::Version::v30;
        } else if (file.empty()) {
            file = args[i];
        } else {
            throw UsageError{"export takes one FILE"};
        }
    }
    if (file.empty())
        throw UsageError{"export takes a FILE (- for standard output)"};

    Phonebook phonebook(options.socket, options.timeoutMs);
    Output output(file);
    bool changed = false;
    size_t count = vcard::exportContacts(
        pagingCalls(phonebook), version,
        [&output](const std::string &cards) { output.write(cards); }, changed);
    output.commit();
    if (file != "-")
        std::printf("%s\n", json({{"exported", count}}).dump().c_str());
    if (!changed)
        return kDone;
    say("contacts were added or removed during the export: one of them may be missing; "
        "export again");
    return kRefused;
}

int run(int argc, char **argv) {
    zebclient::Options options;
    options.timeoutMs = kTimeoutMs;
    int i = 1;
    std::string error;
    if (!zebclient::parseOptions(argc, argv, options, i, error))
        throw UsageError{error};
    if (options.help) {
        std::fputs(zebclient::helpText(kUsageText).c_str(), stdout);
        return kDone;
    }
    std::string command = argv[i];
    std::vector<std::string> args(argv + i + 1, argv + argc);
    if (command == "import")
        return runImport(options, args);
    if (command == "export")
        return runExport(options, args);
    throw UsageError{"unknown command " + command};
}

} // namespace

int main(int argc, char **argv) {
    try {
        return run(argc, argv);
    } catch (const UsageError &e) {
        say(e.message);
        std::fputs(zebclient::helpText(kUsageText).c_str(), stderr);
        return kUsageError;
    } catch (const Unreachable &e) {
        say(e.message);
        return kUnreachable;
    } catch (const Denied &e) {
        say(e.message);
        return kDenied;
    } catch (const Failed &e) {
        say(e.message);
        return kRefused;
    } catch (const std::exception &e) {
        say(e.what());
        return kRefused;
    }
}
