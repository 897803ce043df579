// The SHA-1 compression function over whole 64-byte blocks, in a portable
// form and, where the processor has them, on the SHA instruction extensions.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavro::sha1 {

// Folds `blocks` consecutive 64-byte blocks at data into the five chaining
// words.
using BlockFn = void (*)(std::uint32_t* chain, const std::uint8_t* data, std::size_t blocks);

void PortableBlocks(std::uint32_t* chain, const std::uint8_t* data, std::size_t blocks);

// The version on the SHA extensions, or nullptr where this processor or this
// compiler has none.
BlockFn ExtensionBlocks();

// The fastest of the two that runs here; decided once.
BlockFn BestBlocks();

}  // namespace tavro::sha1
