// Rule sets rolled out in stages: a staged set (update/container.h, the staged trailer) is for the
// routers whose bucket lies below its stage, so a vendor can give a new set to 1 % of the fleet,
// watch its reports and widen the stage step by step. A router's bucket is stable: it comes from
// the digest of its label MAC that the download request sends as IDENT, so the server, the
// vendor's tools and the router all know it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// int(IDENT[0:4], 16) % 100 for the 32 hexadecimal digits of IDENT; -1 when its first four
// characters are not hexadecimal digits.
int bucket_of_ident(std::string_view ident);
// The bucket of the router whose label_mac is `label_mac` (the settings value, as it stands).
int bucket_of_label_mac(const std::string& label_mac);
// This router's bucket, from label_mac in the settings store.
int router_bucket();
// Why a set staged for `stage` % of the routers is not for the router in `bucket`
// ("staged for P% of routers, this router is in bucket B"); none when it is: bucket < stage.
std::optional<std::string> stage_refusal(uint32_t stage, int bucket);
