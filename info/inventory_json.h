#pragma once

#include <string>
#include <vector>

#include "info/key_inventory.h"

namespace nevrik {

// The version of the document's shape; it changes only when a member changes its meaning or
// goes away, never when one is added.
inline constexpr int InventorySchema = 2;

// The inventory for scripts: one JSON document, ending in a newline, of the shape
//   {"schema": 2, "updater": {"version": ...},
//    "pack": {"firmware": "2.0", "image_size": N, "image_sha256": "<hex>"},
//    "keys": [{"path": ..., "access": "ok" | "in-use" | "unreachable",
//              "firmware": "1.5", "so_pin": "none" | "set" | "locked",
//              "update": "available" | "not-needed" | "blocked", "error": "<result name>",
//              "usb": {...}}],
//    "uninspected": [{"path": ..., "reason": "no-permission"}]}
// where firmware, so_pin and update are present exactly when the status was read, error exactly
// when the status query failed, and usb when details were asked for and are known.
std::string InventoryJson(const PackSummary& pack, const Inventory& inventory);

}  // namespace nevrik
