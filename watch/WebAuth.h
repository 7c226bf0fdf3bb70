// Who may see the web view: with a token configured, a request must carry it
// as "Authorization: Bearer TOKEN" or in the `token` cookie that
// "/?token=TOKEN" sets.
#pragma once

#include <string>

namespace tarvolen {

// Equal strings, in a time that does not depend on where they first differ.
bool tokensEqual(const std::string& expected, const std::string& offered);

// The value of cookie `name` in a Cookie header; empty when absent.
std::string cookieValue(const std::string& cookieHeader, const std::string& name);

enum class AuthDecision {
    Allow,
    // "/?token=RIGHT": set the cookie and send the browser to "/" so that
    // the token leaves the address bar.
    SetCookieAndRedirect,
    Deny,
};

struct AuthRequest {
    std::string path;
    std::string authorization;  // the Authorization header
    std::string cookies;        // the Cookie header
    bool hasQueryToken = false;
    std::string queryToken;     // "token" parameter
};

AuthDecision decideAuth(const std::string& token, const AuthRequest& request);

// The Set-Cookie value for `token`: HttpOnly, SameSite=Strict, whole site.
std::string tokenCookie(const std::string& token);

}  // namespace tarvolen
