// Every route group of the JSON API. Each is defined in its own file under
// server/routes/ and registered here: its declaration and its entry in
// kRouteGroups. Paths are exact, so the order of the groups does not matter.
#pragma once

#include "server/router.h"

namespace ZezozuRiziv::routes {

using RouteGroup = void (*)(Router& router);

void add_ledger_routes(Router& router);    // server/routes/ledger.cpp
void add_explorer_routes(Router& router);  // server/routes/explorer.cpp
void add_system_routes(Router& router);    // server/routes/system.cpp
void add_game_routes(Router& router);      // server/routes/game.cpp
void add_community_routes(Router& router);  // server/routes/communities.cpp
void add_quiz_routes(Router& router);       // server/routes/quiz.cpp
void add_account_routes(Router& router);   // server/routes/accounts.cpp
void add_admin_routes(Router& router);     // server/routes/admin.cpp
void add_rewards_routes(Router& router);   // server/routes/rewards.cpp
void add_market_routes(Router& router);    // server/routes/market.cpp

inline constexpr RouteGroup kRouteGroups[] = {
    add_ledger_routes,
    add_explorer_routes,
    add_system_routes,
    add_game_routes,
    add_community_routes,
    add_quiz_routes,
    add_account_routes,
    add_admin_routes,
    add_rewards_routes,
    add_market_routes,
};

}  // namespace ZezozuRiziv::routes
