// Non-existent mail policy: for one name, a catch-all redirection, a bounce entry pair, or
// nothing (reject).
//
// Raises corvo::CorvoUtilException when the session mail data cannot be obtained and
// corvo::mail::postfix::PostfixConfigurationError when postmap refuses an insert.
#pragma once

#include "driver/model/DomainInfo.hpp"

#include <string>
#include <vector>

namespace corvo::mail::postfix {

void applyNonExistentMailPolicy(const std::string& name, NonExistentMailType type,
                                const std::string& argument);
void addCatchAllEntries(const std::vector<std::string>& names, const std::string& target);
void addBounceEntries(const std::vector<std::string>& names, const std::string& message);
// The aliases value that pipes mail into the bounce program with the message.
std::string bounceCommandText(const std::string& message);

} // namespace corvo::mail::postfix
