#include "core/Browser.h"
