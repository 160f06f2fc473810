#pragma once

#include <cstdio>
#include <vector>

#include "info/key_inventory.h"

namespace nevrik {

// The inventory for people: one line for the pack, one line per key (or one saying there is
// none), and with verbose an indented line of USB details under each listed key. Plain text.
void WriteInventoryWords(std::FILE* out, const PackSummary& pack,
                         const std::vector<KeyRecord>& keys, bool verbose);

}  // namespace nevrik
