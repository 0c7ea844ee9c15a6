#include "core/WebsList.h"
