// How zelfin-image shows what an image holds: as text for people and as JSON for scripts.
#pragma once
#include <image/inspect.h>

#include <nlohmann/json.hpp>
#include <ostream>

namespace imagetool {

nlohmann::json factsToJson(const image::ImageFacts& facts);
void printFacts(std::ostream& out, const image::ImageFacts& facts);
const char* familyName(image::BinFamily family);

}  // namespace imagetool
