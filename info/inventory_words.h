#pragma once

#include <cstdio>
#include <vector>

#include "info/key_inventory.h"

namespace nevrik {

// The inventory for people: one line for the pack, one line per key (or one saying there is
// none), with verbose an indented line of USB details under each listed key, then one line per
// device that could not be inspected. Plain text.
void WriteInventoryWords(std::FILE* out, const PackSummary& pack, const Inventory& inventory,
                         bool verbose);

}  // namespace nevrik
