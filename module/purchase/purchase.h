// Brakvold Plus: charging for descriptions and lives, and buying a life
// (purchase/charge.cpp, purchase/life.cpp).
#pragma once

#include <stdint.h>

#include "frame/frame.h"

// What the last charging run took from the buyer, so that a purchase the
// game then fails to complete can be given back. `mailed` is 1 when the run
// only mailed the purchase-mail user (nothing was charged).
struct PurchaseCharge {
    int32_t credits;
    int32_t copper;
    int32_t days;
    int32_t mailed;
};

uint8_t charge_description_purchase(int32_t channel, const PublicUserInfo* info);
uint8_t charge_life_purchase(int32_t channel, const PublicUserInfo* info);
const PurchaseCharge* purchase_last_charge(void);
void purchase_forget_charge(void);

void life_price_screen(void);
void life_confirm(void);                       // substate 13
void purchase_life(int32_t channel);
