// Pieces of the Ethereum JSON-RPC envelope, read from the raw request text.
#pragma once

#include <string>
#include <string_view>

namespace ZezozuRiziv::json_rpc {

// The value of the first "key" anywhere in the text, after its ':' and any
// blanks: a quoted value up to the next '"', else up to the first of
// ", } ] space CR LF tab". Empty when the key, the ':' or a value is missing.
std::string extract_json_field(std::string_view text, std::string_view key);

// The request's id as the answer repeats it: a string id quoted (escaped),
// a number as it stands, null as null; 1 when there is none. A bare id that
// is not a JSON number answers null, so the answer stays valid JSON.
std::string id_json(std::string_view request);

// {"jsonrpc":"2.0","id":<id>,"result":<result>}
std::string envelope(std::string_view id, std::string_view result_json);

}  // namespace ZezozuRiziv::json_rpc
