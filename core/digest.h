// Digests that several folders share.
#pragma once

#include <string>

// MD5 of the bytes as 32 lower-case hexadecimal digits (the label MAC's digest that the download
// request sends, which the stage bucket and the scheduler's seed are drawn from); empty when the
// digest cannot be made.
std::string md5_hex(const std::string& data);
