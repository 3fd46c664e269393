// Reading the domain document as the tool does: all of standard input, cut at its first NUL
// byte, in one writable buffer that the reader unescapes in place, then the record and the
// domain model built from it. The tool's entry and the check read through here, so that the
// check sees exactly what a run would.
//
// The buffer, the reader and the record live until the process ends and are never released:
// the record points into the buffer.
//
// DIAGNOSTICS: a refused document is a result, not an error. Raises corvo::SystemError when
// standard input cannot be read, std::bad_alloc, std::runtime_error "Can not create
// domain_info object", and what the model conversion raises.
#pragma once

#include "driver/model/DomainInfo.hpp"
#include "input/domain_info.h"

#include <optional>
#include <string>

namespace corvo {

// The domain model of the document on standard input; empty when the document is refused,
// with the reader's text in errorText and, when given, where the reading stopped in trace.
std::optional<DomainModel> readDomainModel(std::string& errorText,
                                           domain_info_trace* trace = nullptr);

} // namespace corvo
