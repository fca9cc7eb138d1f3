#pragma once

#include <getopt.h>

#include <string>

namespace zephrane {

// The short-option string for getopt_long and getopt_long_only, built from a long-option
// table (ended by an entry without a name) in table order: each entry's letter followed by
// as many ':' as its has_arg value.
std::string shortOptionString(const option* table);

}  // namespace zephrane
