#include "HelperWire.h"
