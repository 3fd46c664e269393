// The domain document from standard input: raw bytes, the NUL-cut buffer, the reader and the
// record that live for the whole run; documents from given bytes, released after each; the
// cut of a stream of documents into pieces.
#include "driver/Document.hpp"

#include "diagnostics/Errors.hpp"
#include "input/json_reader.h"
#include "lib/base/eintr.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

namespace corvo {
namespace {

// Appends up to one chunk read from the descriptor; the count read, 0 at end of file.
std::size_t readChunk(int descriptor, std::string& text, const std::string& what) {
    char chunk[65536];
    const ssize_t count = retry_eintr([&] { return ::read(descriptor, chunk, sizeof chunk); });
    if (count < 0)
        throw SystemError("read " + what);
    text.append(chunk, static_cast<std::size_t>(count));
    return static_cast<std::size_t>(count);
}

// All of a descriptor as raw bytes, up to end of file.
std::string readAll(int descriptor, const std::string& what) {
    std::string text;
    while (readChunk(descriptor, text, what) > 0) {
    }
    return text;
}

// A writable, NUL-terminated copy that ends at the input's first NUL byte.
char* makeDocumentBuffer(std::string_view text) {
    const std::size_t length = ::strnlen(text.data(), text.size());
    char* buffer = static_cast<char*>(std::malloc(length + 1));
    if (!buffer)
        throw std::bad_alloc();
    std::memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
    return buffer;
}

// The records that live for the whole run, kept where the process can still reach them
// until it ends (the leak checker of the sanitized build tells them from lost memory so).
struct RunRecords {
    char* buffer;
    json_reader* reader;
    domain_info* record;
};
[[gnu::used]] RunRecords runRecords;

} // namespace

std::string readStandardInput() {
    return readAll(STDIN_FILENO, "standard input");
}

std::optional<DomainModel> readDomainModel(std::string& errorText, domain_info_trace* trace) {
    char* buffer = runRecords.buffer = makeDocumentBuffer(readStandardInput());
    // The reader's error text names the system error left in errno. Whatever start-up or an
    // interrupted read left there is not the document's fault.
    errno = 0;
    json_reader* reader = runRecords.reader = json_reader_create(buffer, nullptr);
    domain_info* record = runRecords.record = domain_info_create(reader);
    if (!record)
        throw std::runtime_error("Can not create domain_info object");
    if (domain_info_read_traced(reader, record, trace) != 0) {
        errorText = json_error_text(reader);
        return std::nullopt;
    }
    return makeDomainModel(*record);
}

std::optional<DomainModel> readDomainModelFrom(std::string_view bytes, std::string& errorText,
                                               domain_info_trace* trace) {
    struct Records {
        char* buffer = nullptr;
        json_reader* reader = nullptr;
        domain_info* record = nullptr;
        ~Records() {
            domain_info_release(reader, record);
            json_reader_release(reader);
            std::free(buffer);
        }
    } records;
    records.buffer = makeDocumentBuffer(bytes);
    errno = 0;
    records.reader = json_reader_create(records.buffer, nullptr);
    records.record = domain_info_create(records.reader);
    if (!records.record)
        throw std::runtime_error("Can not create domain_info object");
    if (domain_info_read_traced(records.reader, records.record, trace) != 0) {
        errorText = json_error_text(records.reader);
        return std::nullopt;
    }
    return makeDomainModel(*records.record);
}

std::string readDocumentFile(const std::string& path) {
    const int descriptor = retry_eintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); });
    if (descriptor < 0)
        throw SystemError("open " + path);
    struct Closer {
        int descriptor;
        ~Closer() { ::close(descriptor); }
    } closer{descriptor};
    return readAll(descriptor, path);
}

namespace {

bool isWhite(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The end of the piece that starts at bytes[0], scanned on from where the last call stopped;
// npos while it does not end within bytes.
class PieceEnd {
public:
    std::size_t in(std::string_view bytes) {
        const bool structured = bytes[0] == '{' || bytes[0] == '[';
        for (; scanned_ < bytes.size(); ++scanned_) {
            const char c = bytes[scanned_];
            if (!structured) {
                if (isWhite(c))
                    return scanned_;
            } else if (inString_) {
                if (escaped_)
                    escaped_ = false;
                else if (c == '\\')
                    escaped_ = true;
                else if (c == '"')
                    inString_ = false;
            } else if (c == '"') {
                inString_ = true;
            } else if (c == '{' || c == '[') {
                ++depth_;
            } else if ((c == '}' || c == ']') && --depth_ == 0) {
                return scanned_ + 1;
            }
        }
        return std::string_view::npos;
    }

private:
    std::size_t scanned_ = 0;
    std::size_t depth_ = 0;
    bool inString_ = false, escaped_ = false;
};

} // namespace

bool DocumentStream::fill() {
    if (ended_)
        return false;
    // What lies before the next unread byte is done with.
    buffer_.erase(0, at_);
    consumed_ += at_;
    at_ = 0;
    ended_ = readChunk(descriptor_, buffer_, "standard input") == 0;
    return !ended_;
}

bool DocumentStream::next(Piece& piece) {
    for (;;) {
        while (at_ < buffer_.size() && isWhite(buffer_[at_]))
            ++at_;
        if (at_ < buffer_.size())
            break;
        if (!fill())
            return false;
    }
    PieceEnd cut;
    std::size_t end;
    while ((end = cut.in(std::string_view(buffer_).substr(at_))) == std::string_view::npos)
        if (!fill()) {
            end = buffer_.size() - at_;
            break;
        }
    piece.bytes.assign(buffer_, at_, end);
    piece.number = ++count_;
    piece.offset = consumed_ + at_;
    at_ += end;
    return true;
}

std::vector<DocumentStream::Piece> DocumentStream::split(std::string_view bytes) {
    std::vector<Piece> pieces;
    std::size_t at = 0;
    while (true) {
        while (at < bytes.size() && isWhite(bytes[at]))
            ++at;
        if (at == bytes.size())
            return pieces;
        std::size_t end = PieceEnd().in(bytes.substr(at));
        if (end == std::string_view::npos)
            end = bytes.size() - at;
        pieces.push_back({std::string(bytes.substr(at, end)), pieces.size() + 1, at});
        at += end;
    }
}

} // namespace corvo
