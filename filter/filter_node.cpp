#include "filter_node.h"

namespace zephrane {

int runFilterNode(const InstanceSettings&, const std::string&, int, char**) { return 0; }

}  // namespace zephrane
