#include "bindings/py_util.hpp"

NB_MODULE(farrowin, m) {}
