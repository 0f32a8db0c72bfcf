#include "game/rules/daily_cards.h"

namespace ZezozuRiziv {

const DailyCardDef kDailyCards[kDailyCardCount] = {
    {"c_solar_30", "Insolazione Eccezionale", "+30% produzione fotovoltaica per 24 ore", "solar_boost", 0.30,
     "\u2600\uFE0F"},
    {"c_wind_35", "Bora & Tramontana", "+35% rendimento aerogeneratori eolici per 24 ore", "wind_boost", 0.35,
     "\U0001F4A8"},
    {"c_bess_50", "Scarica Notturna BESS", "+50% efficienza accumulatori notturni per 24 ore", "storage_boost",
     0.50, "\U0001F50B"},
    {"c_h2_25", "Catalizzatore Platino", "+25% resa idrogeno verde per 24 ore", "h2_boost", 0.25, "\U0001F4A7"},
    {"c_syn_20", "Sinergia Totale di Rete", "+20% boost su tutti gli impianti per 24 ore", "global_boost", 0.20,
     "\u26A1"},
    {"c_cer_25", "Risonanza di Comunita", "+25% produzione per i membri attivi di una CER", "cer_resonance", 0.25,
     "\U0001F91D"},
    {"c_dust_twist", "Scirocco & Polveri Sahariane", "+20% eolico ma -10% solare per 24 ore", "sahara_dust", 0.20,
     "\U0001F3DC\uFE0F"},
};

}  // namespace ZezozuRiziv
