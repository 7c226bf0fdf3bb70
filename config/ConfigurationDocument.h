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

}  // namespace tarvolen
