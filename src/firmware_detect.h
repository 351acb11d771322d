// Product and version detection of a firmware file. Used by Firmware::MatchProduct
// only; declared here so that the file position each routine leaves can be tested.
#pragma once

#include <cstdio>
#include <string>

#include "catalogue.h"

// Product 1 or 2 of a headerless image, else UNKNOWN; the file is left at its start.
product_t zk_match_product(FILE* file);
// Product of a headered image, else UNKNOWN. The file is left just past the
// header for a product whose payload follows, and at its start for WZ_R820 and
// UNKNOWN.
product_t jq_match_product(FILE* file);
// "%d.%d.%d" of the header's version word; the file is left at its start, or at
// its end (with an empty text) when the first four words are not all there.
std::string getFileFirmwareVersion(FILE* file);
