#include "host/card_source.h"

#include <filesystem>

#include "reader/cards/card_image.h"
#include "reader/cards/cards.h"

namespace keld::host {

std::shared_ptr<reader::Card> loadCard(std::string_view image, std::string& error) {
  if (image.empty() || image == "default") return reader::makeDefaultT1Card();
  auto loaded = reader::loadCardImage(std::filesystem::path(image));
  if (!loaded) {
    error = "card image " + loaded.error().describe(image);
    return nullptr;
  }
  return std::shared_ptr<reader::Card>(std::move(loaded.value()));
}

}  // namespace keld::host
