#include "update/rule_stage.h"

#include "core/digest.h"
#include "platform/platform.h"
#include "update/container.h"

int bucket_of_ident(std::string_view ident) {
  if (ident.size() < 4) return -1;
  int value = 0;
  for (char c : ident.substr(0, 4)) {
    const int digit = c >= '0' && c <= '9'   ? c - '0'
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                             : -1;
    if (digit < 0) return -1;
    value = value * 16 + digit;
  }
  return value % 100;
}

int bucket_of_label_mac(const std::string& label_mac) {
  return bucket_of_ident(md5_hex(label_mac));
}

int router_bucket() {
  return bucket_of_label_mac(nvram_safe_get("label_mac"));
}

std::optional<std::string> stage_refusal(uint32_t stage, int bucket) {
  if (stage >= KIV_FULL_STAGE || (bucket >= 0 && static_cast<uint32_t>(bucket) < stage))
    return std::nullopt;
  return "staged for " + std::to_string(stage) + "% of routers, this router is in bucket " +
         std::to_string(bucket);
}
