// A plain-text account of the loaded records: product, identifier pairs and,
// for every image, its header and the values derived from it.
#pragma once

#include <string>

#include "package/package.h"

namespace fwu {

std::string DescribePackage(const PackageConfig& config, const UpdatePackage& images);

}  // namespace fwu
