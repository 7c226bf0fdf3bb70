#include <sstream>

#include "config/ConfigurationDocument.h"

namespace tarvolen {
namespace {

constexpr std::size_t kMaxShownValueChars = 40;  // of a refused value quoted in a message

}  // namespace

std::string parseSettingsDocument(std::string_view text, nlohmann::json& document) {
    const char* const notOneDocument = "the configuration is not one JSON document";
    if (text.find('\0') != std::string_view::npos) return notOneDocument;
    try {
        document = parseKeepingFirstKeys(text);
    } catch (const std::exception&) {
        return notOneDocument;
    }
    return "";
}

std::string shownSettingValue(const nlohmann::json& value) {
    std::string text = value.dump(-1, ' ', true, nlohmann::json::error_handler_t::replace);
    if (text.size() > kMaxShownValueChars) text = text.substr(0, kMaxShownValueChars - 3) + "...";
    return text;
}

std::string plainNumber(double value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

}  // namespace tarvolen
