#include "about/mailto.h"

namespace vellumix {

namespace {

bool startsWithMailto(const std::string& s) {
    static constexpr char prefix[] = "mailto:";
    if (s.size() < 7) return false;
    for (std::size_t i = 0; i < 7; ++i) {
        char c = s[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i]) return false;
    }
    return true;
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
