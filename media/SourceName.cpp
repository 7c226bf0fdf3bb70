#include "media/SourceName.h"

namespace tarvolen {

std::string sourceWithoutPassword(const std::string& source) {
    const std::size_t scheme = source.find("://");
    if (scheme == std::string::npos) return source;
    const std::size_t authority = scheme + 3;
    // A password should be percent-encoded, but one with a raw '/' or '@'
    // must not show either: the user information is taken to end at the
    // last '@' before the query, erring towards hiding too much.
    const std::size_t query = source.find_first_of("?#", authority);
    const std::size_t searchEnd = query == std::string::npos ? source.size() : query;
    if (searchEnd == authority) return source;
    const std::size_t at = source.rfind('@', searchEnd - 1);
    if (at == std::string::npos || at < authority) return source;
    const std::size_t colon = source.find(':', authority);
    if (colon == std::string::npos || colon > at) return source;
    return source.substr(0, colon + 1) + "***" + source.substr(at);
}

}  // namespace tarvolen
