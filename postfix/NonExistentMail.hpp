// Non-existent mail policy: for one name, a catch-all redirection, a bounce entry pair, or
// nothing (reject). The *Changes functions only describe the postmap calls; the others
// make them.
//
// Raises corvo::CorvoUtilException when the session mail data cannot be obtained and
// corvo::mail::postfix::PostfixConfigurationError when postmap refuses an insert.
#pragma once

#include "driver/model/DomainInfo.hpp"
#include "postfix/database/Postmap.hpp"

#include <string>
#include <vector>

namespace corvo::mail::postfix {

// The calls of the policy for one name, in order (none for reject).
std::vector<database::TableChange> nonExistentMailChanges(const std::string& name,
                                                          NonExistentMailType type,
                                                          const std::string& argument);
std::vector<database::TableChange> catchAllChanges(const std::vector<std::string>& names,
                                                   const std::string& target);
std::vector<database::TableChange> bounceChanges(const std::vector<std::string>& names,
                                                 const std::string& message);

void applyNonExistentMailPolicy(const std::string& name, NonExistentMailType type,
                                const std::string& argument);
void addCatchAllEntries(const std::vector<std::string>& names, const std::string& target);
void addBounceEntries(const std::vector<std::string>& names, const std::string& message);
// The aliases value that pipes mail into the bounce program with the message.
std::string bounceCommandText(const std::string& message);

} // namespace corvo::mail::postfix
