// The JSON document of a configuration file, for the readers of its parts.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/WholeFile.h"

namespace tarvolen {

// Parses the text as one whole JSON document (an optional UTF-8 byte-order
// mark before it, only white space after it); of a key repeated in one object
// the first occurrence counts. Throws the JSON library's exceptions.
nlohmann::json parseKeepingFirstKeys(std::string_view text);

// For the strictly checked objects beside Config_Params: the document as
// parseKeepingFirstKeys() reads it, or (returned) why it is not one JSON
// document. A NUL byte anywhere makes it none: the parser would take it for
// the end.
std::string parseSettingsDocument(std::string_view text, nlohmann::json& document);

// A refused value as it stood in the file, shortened to fit on a message line.
std::string shownSettingValue(const nlohmann::json& value);

// A number as a message shows it: 30, 0.5, 86400.
std::string plainNumber(double value);

}  // namespace tarvolen
