// How zelfin-image shows what an image holds: as text for people and as JSON for scripts.
#pragma once
#include <image/inspect.h>

#include <nlohmann/json.hpp>
#include <ostream>

namespace imagetool {

nlohmann::json factsToJson(const image::ImageFacts& facts);
void printFacts(std::ostream& out, const image::ImageFacts& facts);
// Whether the family knows the image: it carries one of the family's types.
bool recognises(const image::ImageFacts& facts);
// The one line for a family that does not know the image.
void printRefusal(std::ostream& out, const image::ImageFacts& facts);
// What the words of the report mean, one line each.
extern const char kInfoTerms[];
const char* familyName(image::BinFamily family);

}  // namespace imagetool
