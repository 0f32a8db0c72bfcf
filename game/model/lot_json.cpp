#include "game/model/lot_json.h"

namespace ZezozuRiziv {

void write_lot_market_and_billboard(JsonWriter& json, const ParcelRecord& p) {
  json.field("forSale", p.for_sale).field("saleCurrency", p.sale_currency.empty() ? "WC" : p.sale_currency);
  json.key("minBid").fixed(p.min_bid, 2).key("buyoutPrice").fixed(p.buyout_price, 2);
  json.key("highestBid").fixed(p.highest_bid, 2).field("highestBidder", p.highest_bidder);
  json.field("billboardActive", p.billboard_active).field("billboardSpanCluster", p.span_cluster);
  json.field("billboardGroupId", p.group_id).field("billboardTitle", p.title);
  json.field("billboardImageUrl", p.image_url).field("billboardLinkUrl", p.link_url);
  json.field("billboardSocialType", p.social_type.empty() ? "web" : p.social_type);
}

}  // namespace ZezozuRiziv
