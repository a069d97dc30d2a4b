// Normalisation of the side and order-type words: Unicode White_Space trimmed at both ends,
// ASCII A-Z lowered, everything else left as it is.
#pragma once

#include <string>
#include <string_view>

namespace pen::engine {

std::string normalised_choice(std::string_view utf8);

}  // namespace pen::engine
