#include "watch/WebAuth.h"

#include <cstddef>

namespace tarvolen {

namespace {

const std::string kBearer = "Bearer ";

std::string trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    const std::size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

bool bearerMatches(const std::string& token, const std::string& header) {
    if (header.compare(0, kBearer.size(), kBearer) != 0) return false;
    return tokensEqual(token, trimmed(header.substr(kBearer.size())));
}

}  // namespace

bool tokensEqual(const std::string& expected, const std::string& offered) {
    // Every byte of the offered string is looked at whatever the outcome; a
    // different length is remembered, not returned early on.
    unsigned difference = expected.size() == offered.size() ? 0u : 1u;
    for (std::size_t i = 0; i < offered.size(); ++i) {
        const unsigned char want =
            expected.empty() ? 0 : static_cast<unsigned char>(expected[i % expected.size()]);
        difference |= want ^ static_cast<unsigned char>(offered[i]);
    }
    return difference == 0 && !expected.empty();
}

std::string cookieValue(const std::string& cookieHeader, const std::string& name) {
    std::size_t start = 0;
    while (start <= cookieHeader.size()) {
        std::size_t end = cookieHeader.find(';', start);
        if (end == std::string::npos) end = cookieHeader.size();
        const std::string pair = trimmed(cookieHeader.substr(start, end - start));
        const std::size_t equals = pair.find('=');
        if (equals != std::string::npos && pair.substr(0, equals) == name) return pair.substr(equals + 1);
        start = end + 1;
    }
    return {};
}

AuthDecision decideAuth(const std::string& token, const AuthRequest& request) {
    if (token.empty()) return AuthDecision::Allow;
    if (request.hasQueryToken && request.path == "/") {
        return tokensEqual(token, request.queryToken) ? AuthDecision::SetCookieAndRedirect : AuthDecision::Deny;
    }
    if (bearerMatches(token, request.authorization)) return AuthDecision::Allow;
    if (tokensEqual(token, cookieValue(request.cookies, "token"))) return AuthDecision::Allow;
    return AuthDecision::Deny;
}

std::string tokenCookie(const std::string& token) {
    return "token=" + token + "; Path=/; HttpOnly; SameSite=Strict";
}

}  // namespace tarvolen
