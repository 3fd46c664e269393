// Reading the domain document as the tool does: all of standard input, cut at its first NUL
// byte, in one writable buffer that the reader unescapes in place, then the record and the
// domain model built from it. The tool's entry and the check read through here, so that the
// check sees exactly what a run would.
//
// The buffer, the reader and the record of the one document on standard input live until
// the process ends and are never released: the record points into the buffer. A document
// read from given bytes (one of many in an audit) is read the same way and its buffer, reader
// and record are released before the model is returned, so that memory stays bounded
// whatever the number of documents.
//
// Several documents come from files, each read whole like standard input, or from one
// stream of documents with white space between them: DocumentStream cuts the stream into
// pieces without the reader, each piece then read as a document of its own.
//
// DIAGNOSTICS: a refused document is a result, not an error. Raises corvo::SystemError when
// standard input or a file cannot be read, std::bad_alloc, std::runtime_error "Can not create
// domain_info object", and what the model conversion raises.
#pragma once

#include "driver/model/DomainInfo.hpp"
#include "input/domain_info.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvo {

// The domain model of the document on standard input; empty when the document is refused,
// with the reader's text in errorText and, when given, where the reading stopped in trace.
std::optional<DomainModel> readDomainModel(std::string& errorText,
                                           domain_info_trace* trace = nullptr);

// The same for a document given as bytes (cut at the first NUL, as standard input is); the
// records are released before it returns.
std::optional<DomainModel> readDomainModelFrom(std::string_view bytes, std::string& errorText,
                                               domain_info_trace* trace = nullptr);

// All bytes of standard input, up to its end.
std::string readStandardInput();

// All bytes of a file, as standard input is read for a single document.
std::string readDocumentFile(const std::string& path);

// Cuts a stream of documents into pieces as they arrive. A piece starts at the first byte
// that is not white space (space, \t, \n, \v, \f, \r); one that starts with '{' or '['
// extends to its matching close, strings and their escapes taken into account, or to the
// end of the stream; any other one extends to the next white space.
class DocumentStream {
public:
    explicit DocumentStream(int descriptor) : descriptor_(descriptor) {}

    struct Piece {
        std::string bytes;
        std::size_t number = 0; // 1 for the first piece
        std::size_t offset = 0; // of its first byte in the stream
    };
    // The next piece, or false at the end of the stream. Raises corvo::SystemError when the
    // stream cannot be read.
    bool next(Piece& piece);

    // The same cut over bytes held whole; for tests and for callers that have them.
    static std::vector<Piece> split(std::string_view bytes);

private:
    bool fill();

    int descriptor_;
    std::string buffer_;
    std::size_t at_ = 0;       // next unread byte of buffer_
    std::size_t consumed_ = 0; // stream offset of buffer_[0]
    std::size_t count_ = 0;
    bool ended_ = false;
};

} // namespace corvo
