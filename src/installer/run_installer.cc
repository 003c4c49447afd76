#include "installer/run_installer.h"

namespace lbw {

void run_installer() {}

}  // namespace lbw
