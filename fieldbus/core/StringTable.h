// The library's user-visible texts (item descriptions, units, device error texts, grounding
// states), in Russian (1049) and English (1033), looked up by id.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/types/variant.h"

namespace mb {

// The text of `id` in exactly `lang`, UTF-8, into `text`. A language without the id's block,
// or a block without the id, is a failure and leaves `text` as it was: there is no fallback to
// the other language, and any language but 1049 and 1033 has no texts at all.
bool LoadText(uint32_t id, plat::LCID lang, std::string& text);
// The same in the process's locale (plat::ProcessLocale), for callers that name no language.
// decisions FB-57
bool LoadText(uint32_t id, std::string& text);

// How many ids `lang` has a text for.
size_t TextCount(plat::LCID lang);

// `text` with its first "%d" replaced by `number` in decimal; unchanged when it has none. The
// protocol-error text (id 4099) is filled this way: a stored text is never a format string.
std::string SubstituteNumber(std::string_view text, int64_t number);

// The density meter's error-text id for a device error value: its low byte alone counts.
uint32_t DensityErrorTextId(uint32_t error);

}  // namespace mb
