#pragma once
// The pre-addressed e-mail of the About window.
#include "platform/desktop.h"

#include <string>

namespace vellumix {

// "mailto:" (unless the address already starts with it, in any case) + address, then "?subject=" +
// subject when given, then "?" or "&" + "body=" + body when given. Nothing is percent-encoded.
std::string mailtoLink(const std::string& address, const std::string& subject, const std::string& body);

// Hands the link to the default mail program; what the desktop makes of it is not looked at.
void OpenEmail(Desktop& desktop, std::string EmailAddress, const std::string& Subject,
               const std::string& Body);

} // namespace vellumix
