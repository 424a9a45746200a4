#include "about/mailto.h"

#include "platform/text.h"

#include <string_view>

namespace vellumix {

namespace {

bool startsWithMailto(const std::string& s) {
    constexpr std::string_view prefix = "mailto:";
    return equalsIgnoringCase(std::string_view(s).substr(0, prefix.size()), prefix);
}

} // namespace

std::string mailtoLink(const std::string& address, const std::string& subject, const std::string& body) {
    std::string link = startsWithMailto(address) ? address : "mailto:" + address;
    if (!subject.empty()) link += "?subject=" + subject;
    if (!body.empty()) link += (subject.empty() ? "?" : "&") + std::string("body=") + body;
    return link;
}

void OpenEmail(Desktop& desktop, std::string EmailAddress, const std::string& Subject,
               const std::string& Body) {
    desktop.openWithDefaultHandler(mailtoLink(EmailAddress, Subject, Body), ShowMode::Current);
}

} // namespace vellumix
