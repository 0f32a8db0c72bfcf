// Checks and cleaning for caller text that reaches the world file or an
// answer. Every game operation uses these at the point where text enters.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ZezozuRiziv {

// Answer to a lot key (or lot coordinates) that cannot name a lot.
inline constexpr char kBadLotKeyMessage[] = "Coordinate GPS catastali non valide";
// Answer to a player address that cannot be a record key.
inline constexpr char kBadAddressMessage[] = "Indirizzo wallet non valido.";
// Answer to a change whose world-file save failed; the change was undone.
inline constexpr char kSaveFailedMessage[] =
    "Salvataggio del mondo di gioco non riuscito: operazione annullata.";

// True when `text` can serve as a record key (a player address, a lot key,
// an id): well-formed UTF-8 holding no '|', CR, LF or other control byte
// (below 0x20, or 0x7F), no '"' and no '\'. Keys are stored as received, so
// a key that fails this could write a line of its own into the world file.
bool is_safe_record_key(std::string_view text);

// The checks every operation makes first: true when `address` (and
// `lot_key`) are safe record keys; otherwise the refusal of the first bad
// one (kBadAddressMessage, kBadLotKeyMessage) is written into `out`.
bool keys_usable(std::string_view address, std::string& out);
bool keys_usable(std::string_view address, std::string_view lot_key, std::string& out);

// Free text that the world file stores: every '|', CR and LF removed, and
// every ill-formed UTF-8 sequence replaced by U+FFFD.
std::string clean_world_text(std::string_view text);

// Billboard field: '|', CR, LF, '"' and '\' removed, ill-formed UTF-8
// replaced by U+FFFD, then cut to at most `limit` bytes, before a character
// that would not fit whole.
std::string sanitize_billboard_field(std::string text, uint64_t limit);

// {"status":"error","message":"<message>"}, the message JSON-escaped.
std::string error_json(std::string_view message);
// Writes error_json(message) into `out` and returns false: the refusal of
// an action, in one line.
bool refuse(std::string& out, std::string_view message);

}  // namespace ZezozuRiziv
