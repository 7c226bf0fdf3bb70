// The JSON document of a configuration file, for the readers of its parts.
#pragma once

#include <istream>

#include <nlohmann/json.hpp>

namespace tarvolen {

// Parses one whole JSON document; of a key repeated in one object the first
// occurrence counts. Throws the JSON library's exceptions.
nlohmann::json parseKeepingFirstKeys(std::istream& in);

}  // namespace tarvolen
