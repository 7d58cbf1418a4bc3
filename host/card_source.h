#pragma once
// The cards the host puts in an emulated reader's slot.

#include <memory>
#include <string>
#include <string_view>

#include "reader/card.h"

namespace keld::host {

// Empty or "default": the default T=1 card; anything else is the path of a
// card image. Null with a one-line reason ("PATH:LINE: REASON") on failure.
std::shared_ptr<reader::Card> loadCard(std::string_view image, std::string& error);

}  // namespace keld::host
