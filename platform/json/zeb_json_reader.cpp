#include "zeb_json_reader.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "zeb/error.h"

namespace zeb_json {

namespace {

bool fail(Problem *problem, uint32_t code, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

bool fail(Problem *problem, uint32_t code, const char *format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    *problem = Problem{code, 0, buffer};
    return false;
}

/* Walks the text like a plain pointer and publishes how far the parser has
 * read, so that the SAX handlers know where each token ends. */
class CountingIterator {
  public:
    using iterator_category = std::input_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char *;
    using reference = const char &;

    CountingIterator(const char *position, const char **mark) : position_(position), mark_(mark) {}
    reference operator*() const { return *position_; }
    CountingIterator &operator++() {
        *mark_ = ++position_;
        return *this;
    }
    CountingIterator operator++(int) {
        CountingIterator before = *this;
        ++*this;
        return before;
    }
    bool operator==(const CountingIterator &other) const { return position_ == other.position_; }
    bool operator!=(const CountingIterator &other) const { return position_ != other.position_; }

  private:
    const char *position_;
    const char **mark_;
};

/* A SAX event comes once its token is read (a number's one byte later, for
 * its look-ahead), so the token starts at the first byte after the previous
 * event that is not a separator. Call tokenStart() once per event. */
class Tracker {
  public:
    explicit Tracker(const std::string &text) : text_(text), mark_(text.data()) {}

    CountingIterator begin() { return CountingIterator(text_.data(), &mark_); }
    CountingIterator end() { return CountingIterator(text_.data() + text_.size(), &mark_); }

    size_t tokenStart() {
        size_t start = last_;
        while (start < text_.size() && strchr(" \t\r\n,:", text_[start]) && text_[start] != '\0') {
            ++start;
        }
        last_ = static_cast<size_t>(mark_ - text_.data());
        return start;
    }

  private:
    const std::string &text_;
    const char *mark_;
    size_t last_ = 0;
};

std::string parseErrorText(const char *what) {
    const char *colon = strstr(what, ": ");
    return colon ? colon + 2 : what;
}

/* Builds the document while enforcing the limits. Members go into sorted
 * maps and duplicates are refused, so hostile input costs n log n at most.
 * Without a tracker it does not know where tokens start: a problem is then
 * found again with one, to tell where it is. */
class Builder : public nlohmann::json_sax<Document> {
  public:
    explicit Builder(Tracker *tracker) : tracker_(tracker) {}

    bool null() override { return add(Document(nullptr)); }
    bool boolean(bool value) override { return add(Document(value)); }
    bool number_integer(number_integer_t value) override { return add(Document(value)); }
    bool number_unsigned(number_unsigned_t value) override { return add(Document(value)); }
    bool number_float(number_float_t value, const string_t &) override {
        return add(Document(value));
    }
    bool string(string_t &value) override {
        size_t start = tokenStart();
        return fits(value, start) && place(Document(std::move(value)));
    }
    bool binary(binary_t &) override {
        return stop(ZEB_ERROR_INVALID_FILE, tokenStart(), "binary value");
    }
    bool start_object(std::size_t) override { return open(Document::object()); }
    bool start_array(std::size_t) override { return open(Document::array()); }
    bool end_object() override { return close(); }
    bool end_array() override { return close(); }
    bool key(string_t &name) override {
        size_t start = tokenStart();
        if (!fits(name, start)) {
            return false;
        }
        if (open_.back()->contains(name)) {
            return stop(ZEB_ERROR_INVALID_FILE, start, "duplicate member \"" + name + "\"");
        }
        key_ = std::move(name);
        return true;
    }
    bool parse_error(std::size_t position, const std::string &,
                     const nlohmann::detail::exception &e) override {
        return stop(ZEB_ERROR_INVALID_FILE, position > 0 ? position - 1 : 0,
                    std::string("not valid JSON: ") + parseErrorText(e.what()));
    }

    Document root;
    Problem problem;

  private:
    size_t tokenStart() { return tracker_ ? tracker_->tokenStart() : 0; }

    bool stop(uint32_t code, size_t offset, std::string message) {
        problem = Problem{code, offset, std::move(message)};
        return false;
    }

    bool fits(const std::string &value, size_t start) {
        return value.size() <= kMaxStringLength ||
               stop(ZEB_ERROR_LIMIT, start,
                    "text longer than " + std::to_string(kMaxStringLength) + " bytes");
    }

    /* Containers on the stack are the last element of their parent, which
     * does not grow while they are open, so the pointers stay valid. */
    Document *insert(Document value) {
        if (open_.empty()) {
            root = std::move(value);
            return &root;
        }
        Document *parent = open_.back();
        if (parent->is_array()) {
            parent->push_back(std::move(value));
            return &parent->back();
        }
        return &((*parent)[key_] = std::move(value));
    }

    bool place(Document value) {
        insert(std::move(value));
        return true;
    }

    bool add(Document value) {
        tokenStart();
        return place(std::move(value));
    }

    bool open(Document container) {
        size_t start = tokenStart();
        if (open_.size() >= static_cast<size_t>(kMaxDepth)) {
            return stop(ZEB_ERROR_LIMIT, start,
                        "nested deeper than " + std::to_string(kMaxDepth) + " levels");
        }
        open_.push_back(insert(std::move(container)));
        return true;
    }

    bool close() {
        tokenStart();
        open_.pop_back();
        return true;
    }

    Tracker *tracker_;
    std::vector<Document *> open_;
    std::string key_;
};

/* Finds where the member or element at a JSON pointer starts: for a member,
 * the start of its name. */
class Locator : public nlohmann::json_sax<Document> {
  public:
    Locator(Tracker &tracker, const std::string &target) : tracker_(tracker), target_(target) {}

    bool null() override { return value(); }
    bool boolean(bool) override { return value(); }
    bool number_integer(number_integer_t) override { return value(); }
    bool number_unsigned(number_unsigned_t) override { return value(); }
    bool number_float(number_float_t, const string_t &) override { return value(); }
    bool string(string_t &) override { return value(); }
    bool binary(binary_t &) override { return value(); }
    bool start_object(std::size_t) override { return open(false); }
    bool start_array(std::size_t) override { return open(true); }
    bool end_object() override { return close(); }
    bool end_array() override { return close(); }
    bool key(string_t &name) override {
        frames_.back().key = name;
        return check(tracker_.tokenStart());
    }
    bool parse_error(std::size_t, const std::string &,
                     const nlohmann::detail::exception &) override {
        return false;
    }

    size_t found = std::string::npos;

  private:
    struct Frame {
        bool array;
        size_t next;
        std::string key;
        std::string pointer;
    };

    std::string slot() const {
        if (frames_.empty()) {
            return "";
        }
        const Frame &f = frames_.back();
        return f.array ? pointerTo(f.pointer, f.next) : pointerTo(f.pointer, f.key);
    }

    bool check(size_t start) {
        if (slot() == target_) {
            found = start;
            return false;
        }
        return true;
    }

    void advance() {
        if (!frames_.empty() && frames_.back().array) {
            frames_.back().next++;
        }
    }

    bool value() {
        if (!check(tracker_.tokenStart())) {
            return false;
        }
        advance();
        return true;
    }

    bool open(bool array) {
        if (!check(tracker_.tokenStart())) {
            return false;
        }
        frames_.push_back(Frame{array, 0, "", slot()});
        return true;
    }

    bool close() {
        tracker_.tokenStart();
        frames_.pop_back();
        advance();
        return true;
    }

    Tracker &tracker_;
    const std::string &target_;
    std::vector<Frame> frames_;
};

} // namespace

std::string located(const std::string &name, const std::string &text, size_t offset) {
    offset = std::min(offset, text.size());
    size_t line = 1;
    size_t lineStart = 0;
    for (size_t i = 0; i < offset; ++i) {
        if (text[i] == '\n') {
            ++line;
            lineStart = i + 1;
        }
    }
    return name + ":" + std::to_string(line) + ":" + std::to_string(offset - lineStart + 1);
}

size_t locate(const std::string &text, const std::string &target) {
    Tracker tracker(text);
    Locator locator(tracker, target);
    Document::sax_parse(tracker.begin(), tracker.end(), &locator);
    return locator.found;
}

std::string pointerTo(const std::string &pointer, const std::string &member) {
    std::string result;
    result.reserve(pointer.size() + member.size() + 1);
    result += pointer;
    result += '/';
    for (char c : member) {
        if (c == '~') {
            result += "~0";
        } else if (c == '/') {
            result += "~1";
        } else {
            result += c;
        }
    }
    return result;
}

std::string pointerTo(const std::string &pointer, size_t position) {
    return pointer + "/" + std::to_string(position);
}

bool parse(const std::string &text, Document &out, Problem *problem) {
    Builder fast(nullptr);
    if (Document::sax_parse(text.data(), text.data() + text.size(), &fast)) {
        out = std::move(fast.root);
        return true;
    }
    Tracker tracker(text);
    Builder builder(&tracker);
    Document::sax_parse(tracker.begin(), tracker.end(), &builder);
    *problem = std::move(builder.problem);
    return false;
}

namespace {

int systemOpen(const char *path, int flags, mode_t mode) {
    return open(path, flags, mode);
}

const FileCalls kSystemCalls = {systemOpen, read, close};

} // namespace

bool readFile(const std::string &path, size_t maxSize, std::string &text, Problem *problem,
              const FileCalls *calls) {
    const FileCalls &io = calls != nullptr ? *calls : kSystemCalls;
    int fd = io.open(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) {
        return fail(problem, errno == ENOENT ? ZEB_ERROR_NOT_FOUND : ZEB_ERROR_IO, "%s: %s",
                    path.c_str(), strerror(errno));
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        io.close(fd);
        return fail(problem, ZEB_ERROR_IO, "%s: not a readable file", path.c_str());
    }
    if (static_cast<uint64_t>(info.st_size) > maxSize) {
        io.close(fd);
        return fail(problem, ZEB_ERROR_LIMIT, "%s: larger than %zu bytes", path.c_str(), maxSize);
    }
    text.clear();
    text.reserve(static_cast<size_t>(info.st_size)); /* not twice the file while it grows */
    char buffer[65536];
    for (;;) {
        ssize_t n = io.read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            int saved = errno;
            io.close(fd);
            return fail(problem, ZEB_ERROR_IO, "%s: %s", path.c_str(), strerror(saved));
        }
        if (n == 0) {
            break;
        }
        if (text.size() + static_cast<size_t>(n) > maxSize) {
            io.close(fd);
            return fail(problem, ZEB_ERROR_LIMIT, "%s: larger than %zu bytes", path.c_str(),
                        maxSize);
        }
        text.append(buffer, static_cast<size_t>(n));
    }
    io.close(fd);
    return true;
}

} // namespace zeb_json
