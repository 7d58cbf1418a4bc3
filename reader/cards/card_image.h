#pragma once
// Card images in files, the cards that `keldrind --reader sim,card=PATH`
// puts in the emulator's slot. The format is described in
// reader/cards/README.md.

#include <filesystem>
#include <memory>
#include <string_view>

#include "reader/card.h"
#include "reader/cards/cards.h"
#include "reader/cards/image_document.h"

namespace keld::reader {

// Reads an image from its text; the error names the line and the reason.
ImageResult<CardImage> parseCardImage(std::string_view text);
// Reads an image file and builds its card; nothing is built when it fails
// (a file that cannot be read is an error without a line).
ImageResult<std::unique_ptr<Card>> loadCardImage(const std::filesystem::path& path);

}  // namespace keld::reader
