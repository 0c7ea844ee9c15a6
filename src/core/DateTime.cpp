#include "core/DateTime.h"
