#pragma once

#include <cstdint>

namespace nevrik {

// How long one USB transfer may take before the backend gives up on it, in milliseconds. Every
// backend starts each pipe with these; SetPipeTimeout overrides them. A key that stops answering
// then fails the step it was in, instead of holding the updater for ever. They are far above what
// a working key needs (docs/architecture.md explains the values), so none trips them.

// Control transfers on the default pipe: the synchronisation request, endpoint status queries and
// clearing halts. A device answers these within milliseconds; five seconds is also what the
// Windows driver allows by default.
inline constexpr std::uint32_t ControlTransferTimeout = 5000;

// Bulk OUT: one request frame of at most 8 + 8192 bytes. The key takes in a frame before it acts
// on it, so this waits only for buffer space on the key.
inline constexpr std::uint32_t BulkOutTransferTimeout = 5000;

// Bulk IN: the wait for an answer, which a key gives only after doing the work: erasing flash for
// the setup request (a few seconds at most), programming an 8 KiB chunk, or checking and
// activating the image on deploy.
inline constexpr std::uint32_t BulkInTransferTimeout = 10000;

}  // namespace nevrik
