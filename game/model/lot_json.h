// The parts of a lot's JSON object that several views write alike.
#pragma once

#include "crypto/json_writer.h"
#include "game/model/game_records.h"

namespace ZezozuRiziv {

// The lot's market and billboard fields, from "forSale" to
// "billboardSocialType", into the object `json` is writing.
void write_lot_market_and_billboard(JsonWriter& json, const ParcelRecord& lot);

}  // namespace ZezozuRiziv
