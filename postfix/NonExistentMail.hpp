// Non-existent mail policy: the postmap calls that apply a domain's policy to one name (the
// domain or one of its aliases).
//
// nonExistentMailChanges only describes the calls and changes nothing. The restore makes
// them in order (database::applyChange) as one table operation, inside one session mail data
// bracket (SessionMailData.hpp), also for reject, which makes no call.
//
// DIAGNOSTICS: describing fails only by std::bad_alloc. Making the calls raises what
// Postmap.hpp says for inserts (corvo::mail::postfix::PostfixConfigurationError).
#pragma once

#include "driver/model/DomainInfo.hpp"
#include "postfix/database/Postmap.hpp"

#include <string>
#include <vector>

namespace corvo::mail::postfix {

// Catch-all: the "@" name entry of the virtual table with the argument as its target.
// Bounce: the name's bounce alias in the aliases table, then the "@" name entry of the
// virtual table redirecting to that alias. Reject: no call.
std::vector<database::TableChange> nonExistentMailChanges(const std::string& name,
                                                          NonExistentMailType type,
                                                          const std::string& argument);

// The aliases value that pipes mail into the bounce program with the message.
std::string bounceCommandText(const std::string& message);

} // namespace corvo::mail::postfix
